#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/internal/filesystem.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/socket.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {

using fsutil::kTempAttempts;
using fsutil::OpenCloexec;
using fsutil::TempName;

namespace {

const QMTracer s_trace("dp", "FileSystem");

constexpr char kTempAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
constexpr int kTempNameLength = 13;

// errno's text, thread-safe.
std::string ErrorText(int code) { return std::error_code(code, std::generic_category()).message(); }

// The 64-bit PJW hash of the temporary names.
class PjwHash {
 public:
  explicit PjwHash(std::uint64_t value = 0) : value_(value) {}

  void AddByte(unsigned char byte) {
    value_ = (value_ << 4) + byte;
    const std::uint64_t high = value_ & 0xF000000000000000ULL;
    if (high != 0) {
      value_ ^= high >> 4;  // into bits 56-59
      value_ &= ~high;
    }
  }
  // Low byte first.
  void AddInteger(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) AddByte(static_cast<unsigned char>(value >> (8 * i)));
  }
  std::uint64_t Value() const { return value_; }

 private:
  std::uint64_t value_;
};

// The hash of the host name and the process id. The host name's part is
// computed once; the process id is mixed in at each use, so that a forked
// child does not draw its parent's names.
std::uint64_t TempNameSeed() {
  static const std::uint64_t s_hostHash = [] {
    PjwHash hash;
    if (const char* host = Socket::GetHostname()) {
      for (const char* c = host; *c != '\0'; ++c) hash.AddByte(static_cast<unsigned char>(*c));
    }
    return hash.Value();
  }();
  PjwHash hash(s_hostHash);
  hash.AddInteger(static_cast<std::uint32_t>(Process::GetCurrentProcId()), 4);
  return hash.Value();
}

}  // namespace

namespace fsutil {

std::string TempName() {
  PjwHash hash(TempNameSeed());
  hash.AddInteger(Thread::GetCurrentThreadId(), 4);
  std::int64_t counter = 0;
  try {
    counter = Timer::GetRawValue();
  } catch (...) {
    // The monotonic clock cannot fail on Linux; the thread id still mixes.
  }
  hash.AddInteger(static_cast<std::uint64_t>(counter), 8);
  std::uint64_t bits = hash.Value();
  std::string name;
  for (int i = 0; i < kTempNameLength; ++i, bits >>= 5) name += kTempAlphabet[bits & 31];
  return name;
}

}  // namespace fsutil

std::string FileSystem::MkTempDir(const char* prefix) {
  const std::string parent = GetTempDir();
  return MkTempDir(parent.c_str(), prefix);
}

std::string FileSystem::MkTempDir(const char* parent, const char* prefix) {
  FileSpec location;
  if (parent != nullptr) location.SetDirPath(parent);
  const std::string start = prefix != nullptr ? prefix : "";
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    FileSpec directory = location;
    directory.DirPushBack(start + TempName());
    std::string path;
    directory.GetLocation(&path, false);
    errno = 0;
    if (::mkdir(path.c_str(), 0700) == 0) return path;
    Thread::Yield();
  }
  s_trace(Error, "Failed to create temporary directory after %d reties.", kTempAttempts);
  return {};
}

std::string FileSystem::MkTempFile(const char* directory, const char* prefix,
                                   const char* extension) {
  std::string location;
  if (directory == nullptr) {
    location = GetTempDir();
  } else if (*directory == '\0') {
    location = GetCurDir(false);
  } else {
    location = directory;
  }
  FileSpec file;
  if (!location.empty()) file.SetLocation(location);
  const std::string start = prefix != nullptr ? prefix : "";
  file.SetFileExtension(extension != nullptr ? extension : "");
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    file.SetFileBaseName(start + TempName());
    std::string path;
    file.GetFileSpec(&path);
    errno = 0;
    const int fd = OpenCloexec(path.c_str(), O_CREAT | O_EXCL | O_RDONLY, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno == EEXIST) {
      Thread::Yield();
      continue;
    }
    const std::string reason = ErrorText(errno);
    s_trace(Error, " Couldn't create temporary file \"%s\" - %s.", path.c_str(), reason.c_str());
  }
  s_trace(Error, "Failed to create temporary File  after %d reties.", kTempAttempts);
  return {};
}

}  // namespace dp
