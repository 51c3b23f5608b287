#include "qmkutils/fileio/filereader.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>

#include "qmkutils/fileio/internal/byteorder.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/tracing/tracer.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "FileReader");

constexpr unsigned char kGzipMagic1 = 0x1F;
constexpr unsigned char kGzipMagic2 = 0x8B;
constexpr unsigned kGzipFlagHeaderCrc = 2;
constexpr unsigned kGzipFlagExtra = 4;
constexpr unsigned kGzipFlagName = 8;
constexpr unsigned kGzipFlagComment = 16;
constexpr unsigned kGzipTrailerSize = 8;
constexpr int kWindowBits = 15;

}  // namespace

// The inflate side of a compressed section; the stream is allocated once per
// reader and initialised per section.
struct FileReader::Section {
  z_stream stream{};
  bool streamInitialised = false;
  bool streamEnded = false;
  // A known length: the section's bytes not yet read from the descriptor.
  std::uint64_t unreadLength = 0;
  // A known length shorter than what was buffered: the buffered bytes after
  // the section, which follow the stream's input in the file buffer.
  std::size_t overflow = 0;
};

FileReader::FileReader() = default;

FileReader::~FileReader() { Close(); }

bool FileReader::Open(const char* path, int endian, unsigned bufferSize) {
  // Any other `endian` keeps the order the reader had, which Close resets.
  const bool keptOrder = fileBigEndian_;
  Close();
  name_ = path == nullptr ? "" : path;
  if (!SetEndian(endian)) SetByteOrder(keptOrder);
  bufferSize_ = std::max(bufferSize, kMinimumBufferSize);
  fd_ = dp::FileSystem::qmopen(name_, O_RDONLY, 0);
  if (fd_ < 0) {
    const int code = errno;
    error_ = true;
    char text[256];
    // GNU strerror_r: returns the text, which need not be in `text`.
    const char* reason = ::strerror_r(code, text, sizeof text);
    s_trace(dp::Error, "Open() could not open file \"%s\".  \"%s\"(%d).\n", name_.c_str(), reason,
            code);
    return false;
  }
  return true;
}

bool FileReader::Open(const std::string& path, int endian, unsigned bufferSize) {
  return Open(path.c_str(), endian, bufferSize);
}

bool FileReader::Open(const Symbol& path, int endian, unsigned bufferSize) {
  return Open(path.safe_c_str(), endian, bufferSize);
}

bool FileReader::Close() {
  if (inSection_) EndCompressedSection(false);
  bool closed = true;
  if (fd_ >= 0) {
    closed = ::close(fd_) == 0;
    fd_ = -1;
  }
  fileBuffer_.reset();
  inflatedBuffer_.reset();
  section_.reset();
  readOffset_ = dataEnd_ = 0;
  fileBytesRead_ = 0;
  error_ = endOfFile_ = false;
  inSection_ = sectionIsGzip_ = sectionEndReached_ = sectionLengthKnown_ = false;
  SetByteOrder(false);
  return closed;
}

bool FileReader::IsEOF() const {
  return readOffset_ == dataEnd_ && (inSection_ ? sectionEndReached_ : endOfFile_);
}

bool FileReader::SetEndian(int endian) {
  if (endian != byteorder::kLittleEndian && endian != byteorder::kBigEndian) return false;
  SetByteOrder(endian == byteorder::kBigEndian);
  return true;
}

void FileReader::SetByteOrder(bool bigEndian) {
  fileBigEndian_ = bigEndian;
  mustSwap_ = bigEndian != byteorder::kHostBigEndian;
}

int FileReader::GetSystemEndian() {
  return byteorder::kHostBigEndian ? byteorder::kBigEndian : byteorder::kLittleEndian;
}
bool FileReader::IsSystemBigEndian() { return byteorder::kHostBigEndian; }
bool FileReader::IsSystemLittleEndian() { return !byteorder::kHostBigEndian; }

unsigned char* FileReader::ReadBuffer() const {
  return inSection_ ? inflatedBuffer_.get() : fileBuffer_.get();
}

template <class T>
bool FileReader::ReadScalar(T& value) {
  // A single byte needs only "some data": a refill with requirement 0.
  if (dataEnd_ - readOffset_ < sizeof(T)) FillBuffer(sizeof(T) == 1 ? 0 : sizeof(T));
  if (dataEnd_ - readOffset_ < sizeof(T)) return false;
  value = byteorder::Load<T>(ReadBuffer() + readOffset_, mustSwap_);
  readOffset_ += sizeof(T);
  return true;
}

template <class T>
unsigned FileReader::ReadArray(T* values, unsigned count) {
  // Whole elements only, so that a partial one at the end stays unread.
  // Without swapping any amount of new data helps; with swapping a refill
  // must bring at least one element.
  const std::size_t required = mustSwap_ ? sizeof(T) : 0;
  std::size_t done = 0;
  if constexpr (!std::is_same_v<T, bool>) {
    // Without a file or its buffer, the buffered path reports the failure.
    if (!mustSwap_ && !inSection_ && std::size_t{count} * sizeof(T) >= bufferSize_ && fd_ >= 0 &&
        !endOfFile_ && AllocateFileBuffer()) {
      return ReadArrayFromFile(reinterpret_cast<unsigned char*>(values), count, sizeof(T));
    }
  }
  for (bool more = true;;) {
    const std::size_t take =
        std::min<std::size_t>(count - done, (dataEnd_ - readOffset_) / sizeof(T));
    if (take > 0) {
      byteorder::LoadArray(values + done, ReadBuffer() + readOffset_, take, mustSwap_);
      readOffset_ += take * sizeof(T);
      done += take;
    }
    if (done == count || !more) break;
    more = FillBuffer(required);
  }
  return static_cast<unsigned>(done);
}

// Reads bytes that need no conversion straight into the caller's array,
// saving a copy through the buffer; used when they would fill the buffer
// at least once. Buffered bytes come first. The bytes of a final partial
// element go back into the buffer, unread, as the buffered path leaves
// them.
unsigned FileReader::ReadArrayFromFile(unsigned char* into, unsigned count, std::size_t size) {
  const std::size_t wanted = std::size_t{count} * size;
  std::size_t got = dataEnd_ - readOffset_;
  std::memcpy(into, fileBuffer_.get() + readOffset_, got);
  while (got < wanted) {
    std::size_t chunk = 0;
    if (!ReadFromFile(into + got, wanted - got, chunk)) break;
    if (chunk == 0) {
      endOfFile_ = true;
      break;
    }
    got += chunk;
  }
  const std::size_t whole = got / size;
  readOffset_ = 0;
  dataEnd_ = got - whole * size;
  std::memcpy(fileBuffer_.get(), into + whole * size, dataEnd_);
  return static_cast<unsigned>(whole);
}

bool FileReader::Read(char& value) { return ReadScalar(value); }
bool FileReader::Read(unsigned char& value) { return ReadScalar(value); }
bool FileReader::Read(bool& value) { return ReadScalar(value); }
bool FileReader::Read(short& value) { return ReadScalar(value); }
bool FileReader::Read(unsigned short& value) { return ReadScalar(value); }
bool FileReader::Read(int& value) { return ReadScalar(value); }
bool FileReader::Read(unsigned int& value) { return ReadScalar(value); }
bool FileReader::Read(float& value) { return ReadScalar(value); }
bool FileReader::Read(double& value) { return ReadScalar(value); }

unsigned FileReader::Read(char* values, unsigned count) { return ReadArray(values, count); }
unsigned FileReader::Read(unsigned char* values, unsigned count) {
  return ReadArray(values, count);
}
unsigned FileReader::Read(bool* values, unsigned count) { return ReadArray(values, count); }
unsigned FileReader::Read(short* values, unsigned count) { return ReadArray(values, count); }
unsigned FileReader::Read(unsigned short* values, unsigned count) {
  return ReadArray(values, count);
}
unsigned FileReader::Read(int* values, unsigned count) { return ReadArray(values, count); }
unsigned FileReader::Read(unsigned int* values, unsigned count) { return ReadArray(values, count); }
unsigned FileReader::Read(float* values, unsigned count) { return ReadArray(values, count); }
unsigned FileReader::Read(double* values, unsigned count) { return ReadArray(values, count); }

bool FileReader::SkipBytes(unsigned count) { return SkipBytes64(count); }
bool FileReader::SkipUInt16s(unsigned count) { return SkipBytes64(std::uint64_t{count} * 2); }
bool FileReader::SkipUInt32s(unsigned count) { return SkipBytes64(std::uint64_t{count} * 4); }
bool FileReader::SkipFloats(unsigned count) { return SkipBytes64(std::uint64_t{count} * 4); }
bool FileReader::SkipDoubles(unsigned count) { return SkipBytes64(std::uint64_t{count} * 8); }

bool FileReader::SkipBytes64(std::uint64_t count) {
  const std::size_t buffered = dataEnd_ - readOffset_;
  if (count <= buffered) {
    readOffset_ += count;
    return true;
  }
  count -= buffered;
  readOffset_ = dataEnd_;
  if (inSection_) {
    while (count > 0) {
      if (!FillBuffer(0)) return false;
      const std::size_t take = std::min<std::uint64_t>(count, dataEnd_ - readOffset_);
      readOffset_ += take;
      count -= take;
    }
    return true;
  }
  if (fd_ < 0 || ::lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0) {
    error_ = true;
    return false;
  }
  fileBytesRead_ += count;
  readOffset_ = dataEnd_ = 0;
  endOfFile_ = false;
  return true;
}

unsigned FileReader::GetPosition() const {
  const std::size_t buffered = dataEnd_ - readOffset_;
  if (inSection_) return static_cast<unsigned>(section_->stream.total_out - buffered);
  return static_cast<unsigned>(fileBytesRead_ - buffered);
}

bool FileReader::SetPosition(unsigned position) {
  if (inSection_) return false;
  if (fd_ < 0) {
    error_ = true;
    return false;
  }
  const std::uint64_t bufferStart = fileBytesRead_ - dataEnd_;
  if (position >= bufferStart && position <= fileBytesRead_) {
    readOffset_ = position - bufferStart;
    return true;
  }
  if (::lseek(fd_, position, SEEK_SET) < 0) {
    error_ = true;
    return false;
  }
  fileBytesRead_ = position;
  readOffset_ = dataEnd_ = 0;
  endOfFile_ = false;
  return true;
}

bool FileReader::Rewind(unsigned /*count*/) {
  error_ = true;
  return false;
}

unsigned FileReader::GetFilePos() const {
  if (!inSection_) return GetPosition();
  return static_cast<unsigned>(fileBytesRead_ - section_->stream.avail_in - section_->overflow);
}

bool FileReader::AllocateFileBuffer() {
  if (!fileBuffer_) fileBuffer_.reset(new (std::nothrow) unsigned char[bufferSize_]);
  return fileBuffer_ != nullptr;
}

bool FileReader::FillBuffer(std::size_t required) {
  if (fd_ < 0) {
    error_ = true;
    s_trace("FillBuffer() failed because file is closed.\n");
    return false;
  }
  if (endOfFile_) {
    error_ = true;
    s_trace("FillBuffer() failed to read because of EOF (%d).\n", static_cast<int>(fileBytesRead_));
    return false;
  }
  if (!AllocateFileBuffer()) {
    error_ = true;
    s_trace("FillBuffer() failed to allocate buffer.\n");
    return false;
  }
  unsigned char* buffer = ReadBuffer();
  const std::size_t buffered = dataEnd_ - readOffset_;
  if (buffered > 0 && readOffset_ > 0) std::memmove(buffer, buffer + readOffset_, buffered);
  readOffset_ = 0;
  dataEnd_ = buffered;

  if (!(inSection_ ? FillFromSection() : FillFromFile())) return false;
  if (required != 0 && dataEnd_ < required) {
    error_ = true;
    s_trace("FillBuffer() failed - not enough data, requested %d bytes.\n",
            static_cast<int>(required));
    return false;
  }
  return true;
}

// One read(2), retried when a signal interrupts it. A read error is traced;
// the end of the file is `got` == 0 and left to the caller.
bool FileReader::ReadFromFile(unsigned char* into, std::size_t size, std::size_t& got) {
  ssize_t n;
  do {
    n = ::read(fd_, into, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = true;
    s_trace("FillBuffer() failed to read (%d).\n", static_cast<int>(fileBytesRead_));
    return false;
  }
  got = static_cast<std::size_t>(n);
  fileBytesRead_ += got;
  return true;
}

bool FileReader::FillFromFile() {
  std::size_t got = 0;
  if (!ReadFromFile(fileBuffer_.get() + dataEnd_, bufferSize_ - dataEnd_, got)) return false;
  if (got == 0) {
    endOfFile_ = true;
    return false;
  }
  dataEnd_ += got;
  return true;
}

bool FileReader::FillFromSection() {
  if (sectionEndReached_) {
    error_ = true;
    s_trace("FillBuffer() failed because end of compressed section reached.\n");
    return false;
  }
  z_stream& stream = section_->stream;
  const std::size_t capacity = 2 * bufferSize_;
  while (dataEnd_ < capacity) {
    if (stream.avail_in == 0) {
      if (sectionLengthKnown_ && section_->unreadLength == 0) {
        sectionEndReached_ = true;
        break;
      }
      std::size_t want = bufferSize_;
      if (sectionLengthKnown_) want = std::min<std::uint64_t>(want, section_->unreadLength);
      std::size_t got = 0;
      if (!ReadFromFile(fileBuffer_.get(), want, got)) return false;
      if (got == 0) {
        endOfFile_ = true;
        error_ = true;
        return false;
      }
      if (sectionLengthKnown_) section_->unreadLength -= got;
      stream.next_in = fileBuffer_.get();
      stream.avail_in = static_cast<uInt>(got);
    }
    stream.next_out = inflatedBuffer_.get() + dataEnd_;
    // uInt counts at most 4 GiB - 1; a larger buffer fills in several calls.
    stream.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity - dataEnd_, UINT_MAX));
    const int result = inflate(&stream, Z_SYNC_FLUSH);
    dataEnd_ = capacity - stream.avail_out;
    if (result == Z_STREAM_END) {
      section_->streamEnded = true;
      sectionEndReached_ = true;
      break;
    }
    if (result != Z_OK) {
      error_ = true;
      s_trace("FillBuffer() failed inflate data (%d).\n", result);
      return false;
    }
  }
  if (sectionLengthKnown_ && stream.avail_in == 0 && section_->unreadLength == 0) {
    sectionEndReached_ = true;
  }
  return true;
}

bool FileReader::StartCompressedSection() { return Start(false, 0); }

bool FileReader::StartCompressedSection(unsigned compressedLength) {
  if (compressedLength == 0) return false;
  return Start(true, compressedLength);
}

bool FileReader::Start(bool lengthKnown, unsigned compressedLength) {
  if (inSection_) {
    error_ = true;
    return false;
  }
  if (!inflatedBuffer_) inflatedBuffer_.reset(new (std::nothrow) unsigned char[2 * bufferSize_]);
  if (!section_) section_.reset(new (std::nothrow) Section);
  if (!inflatedBuffer_ || !section_) {
    error_ = true;
    return false;
  }

  // The header is parsed with a clear error flag, so that an earlier error
  // does not fail it; a parse error stays set.
  const bool earlierError = error_;
  error_ = false;
  const std::uint64_t sectionStart = fileBytesRead_ - (dataEnd_ - readOffset_);
  if (dataEnd_ - readOffset_ < 2) FillBuffer(2);
  const bool gzip = !error_ && dataEnd_ - readOffset_ >= 2 &&
                    fileBuffer_[readOffset_] == kGzipMagic1 &&
                    fileBuffer_[readOffset_ + 1] == kGzipMagic2;
  const bool parsed = !error_ && (!gzip || ParseGzipHeader());
  error_ = earlierError || !parsed;
  if (!parsed) return false;

  Section& section = *section_;
  section = Section{};
  z_stream& stream = section.stream;
  if (inflateInit2(&stream, gzip ? -kWindowBits : kWindowBits) != Z_OK) {
    error_ = true;
    return false;
  }
  section.streamInitialised = true;

  std::size_t feed = dataEnd_ - readOffset_;
  if (lengthKnown) {
    const std::uint64_t headerSize = fileBytesRead_ - feed - sectionStart;
    const std::uint64_t bodyLength =
        compressedLength > headerSize ? compressedLength - headerSize : 0;
    if (bodyLength < feed) {
      section.overflow = feed - bodyLength;
      feed = bodyLength;
    }
    section.unreadLength = bodyLength - feed;
  }
  stream.next_in = fileBuffer_.get() + readOffset_;
  stream.avail_in = static_cast<uInt>(feed);

  readOffset_ = dataEnd_ = 0;
  inSection_ = true;
  sectionIsGzip_ = gzip;
  sectionLengthKnown_ = lengthKnown;
  sectionEndReached_ = false;
  return true;
}

bool FileReader::ParseGzipHeader() {
  // Magic, method, flags, time (4), extra flags, operating system.
  unsigned char fixed[10];
  if (Read(reinterpret_cast<char*>(fixed), sizeof fixed) != sizeof fixed) {
    error_ = true;
    return false;
  }
  const unsigned flags = fixed[3];
  if ((flags & kGzipFlagExtra) != 0) {
    unsigned char length[2];
    if (Read(reinterpret_cast<char*>(length), 2) != 2 ||
        !SkipBytes(byteorder::LoadLittleEndian16(length))) {
      error_ = true;
      return false;
    }
  }
  if ((flags & kGzipFlagName) != 0 && !SkipZeroTerminated()) return false;
  if ((flags & kGzipFlagComment) != 0 && !SkipZeroTerminated()) return false;
  if ((flags & kGzipFlagHeaderCrc) != 0 && !SkipBytes(2)) {
    error_ = true;
    return false;
  }
  return true;
}

bool FileReader::SkipZeroTerminated() {
  for (;;) {
    if (readOffset_ == dataEnd_ && !FillBuffer(0)) {
      error_ = true;
      return false;
    }
    const unsigned char* start = fileBuffer_.get() + readOffset_;
    const void* zero = std::memchr(start, 0, dataEnd_ - readOffset_);
    if (zero != nullptr) {
      readOffset_ += static_cast<const unsigned char*>(zero) - start + 1;
      return true;
    }
    readOffset_ = dataEnd_;
  }
}

bool FileReader::EndCompressedSection(bool readToEnd) {
  if (!inSection_) {
    error_ = true;
    return false;
  }
  bool clean = true;
  if (readToEnd) {
    while (!sectionEndReached_) {
      readOffset_ = dataEnd_;
      if (!FillBuffer(0)) {
        clean = false;
        break;
      }
    }
  }
  Section& section = *section_;
  z_stream& stream = section.stream;
  clean = clean && section.streamEnded;
  if (section.streamInitialised) inflateEnd(&stream);
  section.streamInitialised = false;

  readOffset_ = stream.avail_in > 0 || section.overflow > 0
                    ? static_cast<std::size_t>(stream.next_in - fileBuffer_.get())
                    : 0;
  dataEnd_ = readOffset_ + stream.avail_in + section.overflow;
  stream.next_in = nullptr;
  stream.avail_in = 0;
  section.overflow = 0;
  const bool skipTrailer = sectionIsGzip_ && section.streamEnded;
  inSection_ = sectionIsGzip_ = sectionEndReached_ = sectionLengthKnown_ = false;
  section.unreadLength = 0;

  if (skipTrailer && !SkipBytes(kGzipTrailerSize)) clean = false;
  return clean;
}

}  // namespace du
