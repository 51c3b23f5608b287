#include "qmkutils/fileio/filewriter.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "qmkutils/fileio/internal/byteorder.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/tracing/tracer.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "FileWriter");

// Deflate method, no flags, time 0, no extra flags, operating system 0.
constexpr unsigned char kGzipHeader[10] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0};
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 9;
constexpr int kNewFileMode = 0600;

int ClampLevel(int level) { return level >= 0 && level <= 9 ? level : Z_DEFAULT_COMPRESSION; }

}  // namespace

// The deflate side of a compressed section; the stream is allocated once per
// writer and initialised per section.
struct FileWriter::Section {
  z_stream stream{};
  std::uint32_t crc = 0;
  bool streamEnded = false;
};

FileWriter::FileWriter() = default;

FileWriterPtr FileWriter::Construct() { return FileWriterPtr(new FileWriter); }

FileWriter::~FileWriter() { Close(); }

bool FileWriter::Open(const char* path, int endian, unsigned bufferSize, bool truncate) {
  truncate_ = truncate;
  // Any other `endian` keeps the order the writer had, which Close resets.
  const int keptOrder = GetEndian();
  Close();
  name_ = path == nullptr ? "" : path;
  if (!SetEndian(endian)) SetEndian(keptOrder);
  bufferSize_ = std::max(bufferSize, kMinimumBufferSize);
  const int flags = O_RDWR | O_CREAT | (truncate_ ? O_TRUNC : 0);
  fd_ = dp::FileSystem::qmopen(name_, flags, kNewFileMode);
  if (fd_ < 0) {
    SetError();
    return false;
  }
  return true;
}

bool FileWriter::Open(const std::string& path, int endian, unsigned bufferSize, bool truncate) {
  return Open(path.c_str(), endian, bufferSize, truncate);
}

bool FileWriter::Close() {
  bool clean = true;
  if (IsCompressed()) clean = EndCompressedSection();
  if (fd_ >= 0) {
    clean = FlushBuffer(false) && clean;
    clean = ::close(fd_) == 0 && clean;
    fd_ = -1;
  }
  buffer_.reset();
  output_.reset();
  section_.reset();
  used_ = 0;
  position_ = 0;
  mode_ = 0;
  return clean;
}

bool FileWriter::SetEndian(int endian) {
  if (endian != byteorder::kLittleEndian && endian != byteorder::kBigEndian) return false;
  const bool bigEndian = endian == byteorder::kBigEndian;
  mode_ &= ~std::uint32_t{kBigEndian | kMustSwap};
  if (bigEndian) mode_ |= kBigEndian;
  if (bigEndian != byteorder::kHostBigEndian) mode_ |= kMustSwap;
  return true;
}

template <class T>
bool FileWriter::WriteScalar(T value) {
  if (bufferSize_ - used_ < sizeof(T) || !buffer_) {
    if (!FlushBuffer(false)) return false;
  }
  byteorder::Store(buffer_.get() + used_, value, MustSwap());
  used_ += sizeof(T);
  return true;
}

template <class T>
unsigned FileWriter::WriteArray(const T* values, unsigned count) {
  std::size_t done = 0;
  // Bytes that need no conversion and would fill the buffer at least once
  // go straight to the file, saving a copy; the file sees the same bytes.
  if constexpr (!std::is_same_v<T, bool>) {
    const std::size_t bytes = std::size_t{count} * sizeof(T);
    if (!MustSwap() && !IsCompressed() && bytes >= bufferSize_ && fd_ >= 0) {
      if (used_ != 0 && !FlushBuffer(false)) return 0;
      return WriteToFile(reinterpret_cast<const unsigned char*>(values), bytes) ? count : 0;
    }
  }
  for (;;) {
    const std::size_t room = buffer_ ? (bufferSize_ - used_) / sizeof(T) : 0;
    const std::size_t take = std::min<std::size_t>(count - done, room);
    if (take > 0) {
      byteorder::StoreArray(buffer_.get() + used_, values + done, take, MustSwap());
      used_ += take * sizeof(T);
      done += take;
    }
    if (done == count || !FlushBuffer(false)) break;
  }
  return static_cast<unsigned>(done);
}

bool FileWriter::Write(const char& value) { return WriteScalar(value); }
bool FileWriter::Write(const unsigned char& value) { return WriteScalar(value); }
bool FileWriter::Write(const bool& value) { return WriteScalar(value); }
bool FileWriter::Write(const short& value) { return WriteScalar(value); }
bool FileWriter::Write(const unsigned short& value) { return WriteScalar(value); }
bool FileWriter::Write(const int& value) { return WriteScalar(value); }
bool FileWriter::Write(const unsigned int& value) { return WriteScalar(value); }
bool FileWriter::Write(const float& value) { return WriteScalar(value); }
bool FileWriter::Write(const double& value) { return WriteScalar(value); }

unsigned FileWriter::Write(const char* values, unsigned count) { return WriteArray(values, count); }
unsigned FileWriter::Write(const unsigned char* values, unsigned count) {
  return WriteArray(values, count);
}
unsigned FileWriter::Write(const bool* values, unsigned count) { return WriteArray(values, count); }
unsigned FileWriter::Write(const short* values, unsigned count) {
  return WriteArray(values, count);
}
unsigned FileWriter::Write(const unsigned short* values, unsigned count) {
  return WriteArray(values, count);
}
unsigned FileWriter::Write(const int* values, unsigned count) { return WriteArray(values, count); }
unsigned FileWriter::Write(const unsigned int* values, unsigned count) {
  return WriteArray(values, count);
}
unsigned FileWriter::Write(const float* values, unsigned count) {
  return WriteArray(values, count);
}
unsigned FileWriter::Write(const double* values, unsigned count) {
  return WriteArray(values, count);
}

// Raw bytes in the file's own layout, whatever its byte order.
bool FileWriter::WriteRaw(const unsigned char* bytes, std::size_t size) {
  return WriteArray(reinterpret_cast<const char*>(bytes), static_cast<unsigned>(size)) == size;
}

bool FileWriter::AllocateBuffer(std::unique_ptr<unsigned char[]>& buffer) {
  if (!buffer) buffer.reset(new (std::nothrow) unsigned char[bufferSize_]);
  return buffer != nullptr;
}

bool FileWriter::WriteToFile(const unsigned char* bytes, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd_, bytes + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetError();
      s_trace("FlushBuffer() failed to write %d bytes.\n", static_cast<int>(size));
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  position_ += size;
  return true;
}

bool FileWriter::FlushBuffer(bool final) {
  if (fd_ < 0) {
    SetError();
    s_trace("FlushBuffer() failed because file is closed.\n");
    return false;
  }
  if (!AllocateBuffer(buffer_)) {
    SetError();
    s_trace("FlushBuffer() failed to allocate buffer.\n");
    return false;
  }
  if (IsCompressed()) return Deflate(final);
  const std::size_t size = std::exchange(used_, 0);
  return WriteToFile(buffer_.get(), size);
}

bool FileWriter::Deflate(bool final) {
  Section& section = *section_;
  z_stream& stream = section.stream;
  section.crc =
      static_cast<std::uint32_t>(crc32(section.crc, buffer_.get(), static_cast<uInt>(used_)));
  stream.next_in = buffer_.get();
  stream.avail_in = static_cast<uInt>(used_);
  used_ = 0;
  bool written = true;
  while (final ? !section.streamEnded : stream.avail_in > 0) {
    // A full output buffer goes to the file whole, before deflate could
    // report that it has no room.
    if (stream.avail_out == 0) {
      written = WriteToFile(output_.get(), bufferSize_) && written;
      stream.next_out = output_.get();
      stream.avail_out = static_cast<uInt>(bufferSize_);
    }
    const int result = deflate(&stream, final ? Z_FINISH : Z_NO_FLUSH);
    if (result < 0) {
      SetError();
      s_trace("FlushBuffer() failed to deflate data (%d).\n", result);
      return false;
    }
    section.streamEnded = result == Z_STREAM_END;
  }
  return written;
}

unsigned FileWriter::WriteFile(const char* path) {
  if (!FlushBuffer(false)) return 0;
  const int source = dp::FileSystem::qmopen(path, O_RDONLY, 0);
  if (source < 0) return 0;
  std::uint64_t total = 0;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(source, buffer_.get(), bufferSize_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    used_ = static_cast<std::size_t>(n);
    total += used_;
    if (!FlushBuffer(false)) {
      ok = false;
      break;
    }
  }
  ::close(source);
  return ok ? static_cast<unsigned>(total) : 0;
}

unsigned FileWriter::GetPosition() {
  if (IsCompressed()) return kNoPosition;
  if (fd_ >= 0 && used_ > 0) FlushBuffer(false);
  return static_cast<unsigned>(position_);
}

bool FileWriter::SetPosition(unsigned position) {
  if (IsCompressed()) return false;
  if (!FlushBuffer(false)) return false;
  if (::lseek(fd_, position, SEEK_SET) < 0) {
    SetError();
    return false;
  }
  position_ = position;
  return true;
}

bool FileWriter::StartCompressedSection(int level) {
  if (IsCompressed()) {
    SetError();
    return false;
  }
  if (fd_ < 0) {
    SetError();
    s_trace("FlushBuffer() failed because file is closed.\n");
    return false;
  }
  if (!section_) section_.reset(new (std::nothrow) Section);
  if (!AllocateBuffer(buffer_) || !AllocateBuffer(output_) || !section_) {
    SetError();
    return false;
  }
  if (!WriteRaw(kGzipHeader, sizeof kGzipHeader)) return false;

  Section& section = *section_;
  section = Section{};
  z_stream& stream = section.stream;
  if (deflateInit2(&stream, ClampLevel(level), Z_DEFLATED, -kWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    SetError();
    return false;
  }
  // Deflate's output follows the bytes already buffered (the header
  // included), so they share one write to the file.
  std::swap(buffer_, output_);
  stream.next_out = output_.get() + used_;
  stream.avail_out = static_cast<uInt>(bufferSize_ - used_);
  used_ = 0;
  section.crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  mode_ |= kInSection;
  return true;
}

bool FileWriter::EndCompressedSection() {
  if (!IsCompressed()) {
    SetError();
    return false;
  }
  Section& section = *section_;
  z_stream& stream = section.stream;
  bool clean = FlushBuffer(true) && section.streamEnded;
  if (!clean) SetError();
  clean = deflateEnd(&stream) == Z_OK && clean;
  std::swap(buffer_, output_);
  used_ = static_cast<std::size_t>(stream.next_out - buffer_.get());
  mode_ &= ~std::uint32_t{kInSection};

  unsigned char trailer[8];
  byteorder::StoreLittleEndian32(trailer, section.crc);
  byteorder::StoreLittleEndian32(trailer + 4, static_cast<std::uint32_t>(stream.total_in));
  return WriteRaw(trailer, sizeof trailer) && clean;
}

}  // namespace du
