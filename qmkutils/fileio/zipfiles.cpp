#include "qmkutils/fileio/internal/zipfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "qmkutils/platform/filesystem.h"
#include "qmkutils/utilities/widetext.h"

namespace du::zip_files {

namespace {

constexpr std::size_t kReadBlockSize = 16384;

// An archive opened for reading: positioned reads through one block of
// buffer. minizip seeks before nearly every record it reads; here a seek
// only moves the position, and a read within the buffered block makes no
// system call, where stdio would drop its buffer on every seek.
struct ReadStream {
  int fd = -1;
  std::uint64_t size = 0;
  std::uint64_t position = 0;
  std::uint64_t blockStart = 0;
  std::size_t blockLength = 0;
  const std::uint64_t* generation = nullptr;
  std::uint64_t blockGeneration = 0;
  bool failed = false;
  std::vector<char> block = std::vector<char>(kReadBlockSize);
};

// The archive as minizip holds it: a read stream, or stdio for writing.
struct Stream {
  FILE* file = nullptr;
  std::unique_ptr<ReadStream> reader;
};

Stream* AsStream(voidpf stream) { return static_cast<Stream*>(stream); }

std::unique_ptr<ReadStream> OpenForReading(const char* path) {
  auto reader = std::make_unique<ReadStream>();
  // Non-blocking, so that a FIFO is refused below instead of waiting for a
  // writer; regular files ignore the flag.
  reader->fd = dp::FileSystem::qmopen(path, O_RDONLY | O_NONBLOCK, 0);
  if (reader->fd < 0) return nullptr;
  struct stat status {};
  if (fstat(reader->fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(reader->fd);
    return nullptr;
  }
  reader->size = static_cast<std::uint64_t>(status.st_size);
  return reader;
}

voidpf Open(voidpf opaque, const void* path, int mode) {
  if (path == nullptr) return nullptr;
  const char* name = static_cast<const char*>(path);
  auto stream = std::make_unique<Stream>();
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ) {
    stream->reader = OpenForReading(name);
    if (stream->reader) {
      stream->reader->generation = static_cast<const std::uint64_t*>(opaque);
      if (opaque != nullptr) stream->reader->blockGeneration = *stream->reader->generation;
    }
  } else if ((mode & ZLIB_FILEFUNC_MODE_EXISTING) != 0) {
    stream->file = dp::FileSystem::qmfopen(name, "r+b");
  } else if ((mode & ZLIB_FILEFUNC_MODE_CREATE) != 0) {
    stream->file = dp::FileSystem::qmfopen(name, "wb");
  }
  if (stream->file == nullptr && !stream->reader) return nullptr;
  return stream.release();
}

uLong ReadAt(ReadStream& reader, char* out, uLong size) {
  if (reader.generation != nullptr && *reader.generation != reader.blockGeneration) {
    reader.blockGeneration = *reader.generation;
    reader.blockLength = 0;
  }
  uLong copied = 0;
  while (copied < size) {
    const std::uint64_t offset = reader.position - reader.blockStart;
    if (reader.position >= reader.blockStart && offset < reader.blockLength) {
      const std::size_t count = std::min<std::uint64_t>(reader.blockLength - offset, size - copied);
      std::memcpy(out + copied, reader.block.data() + offset, count);
      copied += count;
      reader.position += count;
      continue;
    }
    // Aligned blocks, so that minizip's backward search for the end
    // records, 1 KiB at a time, finds most of them already read.
    const std::uint64_t blockStart = reader.position - reader.position % kReadBlockSize;
    ssize_t read = 0;
    do {
      read = pread(reader.fd, reader.block.data(), reader.block.size(),
                   static_cast<off_t>(blockStart));
    } while (read < 0 && errno == EINTR);
    if (read < 0) reader.failed = true;
    if (read <= 0) break;
    reader.blockStart = blockStart;
    reader.blockLength = static_cast<std::size_t>(read);
    if (reader.blockLength <= reader.position - blockStart) break;  // the end of the file
  }
  return copied;
}

uLong Read(voidpf /*opaque*/, voidpf stream, void* buffer, uLong size) {
  Stream* s = AsStream(stream);
  if (s->reader) return ReadAt(*s->reader, static_cast<char*>(buffer), size);
  return static_cast<uLong>(std::fread(buffer, 1, size, s->file));
}

uLong Write(voidpf /*opaque*/, voidpf stream, const void* buffer, uLong size) {
  Stream* s = AsStream(stream);
  if (s->reader) return 0;
  return static_cast<uLong>(std::fwrite(buffer, 1, size, s->file));
}

ZPOS64_T Tell(voidpf /*opaque*/, voidpf stream) {
  Stream* s = AsStream(stream);
  if (s->reader) return s->reader->position;
  const off_t position = ftello(s->file);
  return position < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(position);
}

long Seek(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset,  // NOLINT(google-runtime-int)
          int origin) {
  Stream* s = AsStream(stream);
  if (s->reader) {
    if (origin == ZLIB_FILEFUNC_SEEK_SET) {
      s->reader->position = offset;
    } else if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
      s->reader->position += offset;
    } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
      s->reader->position = s->reader->size + offset;
    } else {
      return -1;
    }
    return 0;
  }
  int whence = SEEK_SET;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) whence = SEEK_CUR;
  if (origin == ZLIB_FILEFUNC_SEEK_END) whence = SEEK_END;
  return fseeko(s->file, static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int Close(voidpf /*opaque*/, voidpf stream) {
  const std::unique_ptr<Stream> s(AsStream(stream));
  if (s->reader) return close(s->reader->fd);
  return std::fclose(s->file);
}

int Error(voidpf /*opaque*/, voidpf stream) {
  Stream* s = AsStream(stream);
  if (s->reader) return s->reader->failed ? 1 : 0;
  return std::ferror(s->file);
}

}  // namespace

zlib_filefunc64_def CloseOnExecFileFunctions(const std::uint64_t* generation) {
  zlib_filefunc64_def functions{};
  functions.zopen64_file = Open;
  functions.zread_file = Read;
  functions.zwrite_file = Write;
  functions.ztell64_file = Tell;
  functions.zseek64_file = Seek;
  functions.zclose_file = Close;
  functions.zerror_file = Error;
  // minizip hands the opaque pointer only to the file functions.
  functions.opaque = const_cast<std::uint64_t*>(generation);
  return functions;
}

std::string MakeWorkingPath(const std::string& archivePath, const char* prefix,
                            const dp::QMTracer& trace) {
  if (!du::IsMultiByteStr(archivePath)) return archivePath;
  const std::string tempDir = dp::FileSystem::GetTempDir();
  if (du::IsMultiByteStr(tempDir)) {
    trace(dp::Error) << "Cannot zip as system temp directory path contains non ascii characters\n"
                     << "temp directory: " << tempDir;
    return archivePath;
  }
  std::string working = dp::FileSystem::MkTempFile(tempDir.c_str(), prefix, "zip");
  if (working.empty()) return archivePath;
  if (dp::FileSystem::FileExists(archivePath.c_str())) {
    dp::FileSystem::CopyFile(archivePath.c_str(), working.c_str());
  }
  return working;
}

}  // namespace du::zip_files
