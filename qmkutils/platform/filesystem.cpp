#include "qmkutils/platform/filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/socket.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {
namespace {

const QMTracer s_trace("dp", "FileSystem");

constexpr int kTempAttempts = 32;
constexpr char kTempAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
constexpr int kTempNameLength = 13;

// Block size of the read/write copy and of the comparisons.
constexpr std::size_t kCopyBlock = std::size_t{256} * 1024;
// The most one copy_file_range or sendfile call is asked to move.
constexpr std::size_t kKernelCopyChunk = std::size_t{1} << 30;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// errno's text, thread-safe.
std::string ErrorText(int code) { return std::error_code(code, std::generic_category()).message(); }

// -1 with errno EINVAL.
int InvalidArgument() {
  errno = EINVAL;
  return -1;
}

// Closes `fd`, keeping errno as it was.
void CloseQuietly(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

// open() with O_CLOEXEC, resumed after a signal.
int OpenCloexec(const char* path, int flags, mode_t permissions = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, permissions);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Translates an fopen mode into open() flags and the mode fdopen needs; false
// (EINVAL) for a mode that does not start with 'r', 'w' or 'a', the empty
// mode included.
bool TranslateMode(const char* mode, int* flags, const char** streamMode) {
  if (mode[0] == '\0') return false;
  bool update = false, exclusive = false;
  for (const char* c = mode + 1; *c != '\0' && *c != ','; ++c) {
    if (*c == '+') update = true;
    if (*c == 'x') exclusive = true;
  }
  switch (mode[0]) {
    case 'r':
      *flags = update ? O_RDWR : O_RDONLY;
      *streamMode = update ? "r+" : "r";
      return true;
    case 'w':
      *flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | (exclusive ? O_EXCL : 0);
      *streamMode = update ? "w+" : "w";
      return true;
    case 'a':
      *flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      *streamMode = update ? "a+" : "a";
      return true;
    default:
      return false;
  }
}

// Opens a stream; 0 or the errno value.
int OpenStream(const char* path, const char* mode, FILE** file) {
  *file = nullptr;
  errno = 0;
  if (path == nullptr || mode == nullptr) return EINVAL;
  if (*path == '\0') return ENOENT;
  int flags = 0;
  const char* streamMode = nullptr;
  if (!TranslateMode(mode, &flags, &streamMode)) return EINVAL;
  const int fd = OpenCloexec(path, flags, 0666);
  if (fd < 0) return errno;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
    ::close(fd);
    return error;
  }
  FILE* stream = ::fdopen(fd, streamMode);
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  *file = stream;
  return 0;
}

// The directory that holds `path`, as text.
std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// `directory`, a '/' unless it ends with one, and `name`.
std::string JoinPath(const std::string& directory, const std::string& name) {
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// fsyncs a regular file or directory; never blocks on a FIFO or follows a
// link. Failures are ignored.
void SyncPath(const std::string& path) {
  const int fd = OpenCloexec(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))) {
    ::fsync(fd);
  }
  ::close(fd);
}

// Writes all of `data`; false when a write fails or writes nothing.
bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Blocks SIGPIPE in the calling thread while it lives, so that a write to a
// pipe whose reader has left fails with EPIPE instead of raising the signal.
// A SIGPIPE that became pending meanwhile is consumed before the old mask
// comes back; one that was pending already is left alone (signals of one kind
// do not queue, so a write's SIGPIPE merged into that one). Keeps errno.
class SigpipeBlocker {
 public:
  SigpipeBlocker() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &saved_) == 0;
    sigset_t pending;
    wasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeBlocker() {
    if (!blocked_) return;
    const int saved = errno;
    sigset_t pending;
    if (!wasPending_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec zero{};
      while (::sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    errno = saved;
  }
  SigpipeBlocker(const SigpipeBlocker&) = delete;
  SigpipeBlocker& operator=(const SigpipeBlocker&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t saved_{};
  bool blocked_ = false;
  bool wasPending_ = false;
};

// Reads until `length` bytes or the end; the count, or -1.
ssize_t ReadFull(int fd, char* data, std::size_t length) {
  std::size_t total = 0;
  while (total < length) {
    const ssize_t got = ::read(fd, data + total, length - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

// Errors after which a kernel copy cannot do better than the next method.
bool IsWriteFailure(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO;
}

enum class KernelCopy { kDone, kUnsupported, kFailed };

// Copies from the file offsets to the end with copy_file_range.
KernelCopy CopyFileRange(int in, int out) {
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, kKernelCopyChunk, 0);
    if (copied > 0) continue;
    if (copied == 0) return KernelCopy::kDone;
    if (errno == EINTR) continue;
    return IsWriteFailure(errno) ? KernelCopy::kFailed : KernelCopy::kUnsupported;
  }
}

// The same with sendfile.
KernelCopy SendFile(int in, int out) {
  for (;;) {
    const ssize_t copied = ::sendfile(out, in, nullptr, kKernelCopyChunk);
    if (copied > 0) continue;
    if (copied == 0) return KernelCopy::kDone;
    if (errno == EINTR) continue;
    return IsWriteFailure(errno) ? KernelCopy::kFailed : KernelCopy::kUnsupported;
  }
}

// Copies everything from `in`'s offset on to `out`. The kernel methods serve
// regular files that report a size (files of /proc report none); whatever is
// left when they stop goes through read and write, which also sees a source
// that grew meanwhile.
bool CopyData(int in, int out, const struct stat& source) {
  if (S_ISREG(source.st_mode) && source.st_size > 0) {
    KernelCopy result = CopyFileRange(in, out);
    if (result == KernelCopy::kUnsupported) result = SendFile(in, out);
    if (result == KernelCopy::kFailed) return false;
  }
  const std::unique_ptr<char[]> buffer(new char[kCopyBlock]);
  for (;;) {
    ssize_t got = ::read(in, buffer.get(), kCopyBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(out, buffer.get(), static_cast<std::size_t>(got))) return false;
  }
}

// A file opened for reading, never a directory; closed with the object.
class InputFile {
 public:
  explicit InputFile(const char* path) {
    if (path == nullptr) return;
    fd_ = OpenCloexec(path, O_RDONLY);
    if (fd_ < 0) return;
    if (::fstat(fd_, &status_) != 0 || S_ISDIR(status_.st_mode)) {
      if (S_ISDIR(status_.st_mode)) errno = EISDIR;
      CloseQuietly(fd_);
      fd_ = -1;
    }
  }
  ~InputFile() {
    if (fd_ >= 0) CloseQuietly(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const struct stat& status() const { return status_; }
  // The size when the file is a regular file that reports one (files of
  // /proc report none), else -1.
  off_t KnownSize() const {
    return S_ISREG(status_.st_mode) && status_.st_size > 0 ? status_.st_size : -1;
  }

 private:
  int fd_ = -1;
  struct stat status_ {};
};

// Reads a file character by character for CompareTextFiles, where CR LF and
// a lone CR both read as LF.
class TextReader {
 public:
  explicit TextReader(int fd) : fd_(fd), buffer_(new char[kCopyBlock]) {}

  // The next character, or EOF at the end or after a read error.
  int Next() {
    const int c = Get();
    if (c != '\r') return c;
    if (Peek() == '\n') Get();
    return '\n';
  }
  bool Failed() const { return failed_; }

 private:
  bool Fill() {
    if (next_ < length_) return true;
    if (failed_) return false;
    ssize_t got;
    do {
      got = ::read(fd_, buffer_.get(), kCopyBlock);
    } while (got < 0 && errno == EINTR);
    if (got < 0) failed_ = true;
    next_ = 0;
    length_ = got > 0 ? static_cast<std::size_t>(got) : 0;
    return length_ > 0;
  }
  int Peek() { return Fill() ? static_cast<unsigned char>(buffer_[next_]) : EOF; }
  int Get() { return Fill() ? static_cast<unsigned char>(buffer_[next_++]) : EOF; }

  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t next_ = 0, length_ = 0;
  bool failed_ = false;
};

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

// 13 characters from the first 32 of the alphabet.
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

std::string BackupName(const std::string& path, int number) {
  return path + ".~" + std::to_string(number) + "~";
}

// The names of a directory's entries except "." and "..".
std::vector<std::string> ListNames(int directoryFd) {
  std::vector<std::string> names;
  const int fd = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return names;
  DIR* directory = ::fdopendir(fd);
  if (directory == nullptr) {
    ::close(fd);
    return names;
  }
  // readdir is safe on a stream that no other thread reads.
  while (const dirent* entry = ::readdir(directory)) {  // NOLINT(concurrency-mt-unsafe)
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  ::closedir(directory);
  return names;
}

int OpenDirectoryAt(int parentFd, const char* name) {
  int fd;
  do {
    fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// True unless the directory `fd` is on the file system `device` and is no
// mount point there (a bind mount of the same file system keeps its device,
// so statx's mount-root attribute is asked as well where the kernel has it).
// A directory that cannot be examined counts as another file system.
bool IsOtherFileSystem(int fd, dev_t device) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_dev != device) return true;
  struct statx extended {};
  return ::statx(fd, "", AT_EMPTY_PATH, 0, &extended) == 0 &&
         (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Removes everything below the directory `rootFd` (which it closes) on the
// file system `device`, level by level with an explicit stack, each level
// relative to its own descriptor. unlinkat never follows a link; a directory
// (EISDIR) is opened with O_NOFOLLOW, so one swapped for a link meanwhile is
// unlinked instead. A directory of another file system is left as it is.
void EmptyDirectory(int rootFd, dev_t device) {
  struct Level {
    int fd;
    std::vector<std::string> names;
    std::size_t next;
  };
  std::vector<Level> stack;
  stack.push_back(Level{rootFd, ListNames(rootFd), 0});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.names.size()) {
      ::close(level.fd);
      stack.pop_back();
      if (!stack.empty()) {
        const Level& parent = stack.back();
        ::unlinkat(parent.fd, parent.names[parent.next - 1].c_str(), AT_REMOVEDIR);
      }
      continue;
    }
    const char* name = level.names[level.next++].c_str();
    if (::unlinkat(level.fd, name, 0) == 0 || errno != EISDIR) continue;
    const int child = OpenDirectoryAt(level.fd, name);
    if (child < 0) {
      if (errno == ENOTDIR || errno == ELOOP) ::unlinkat(level.fd, name, 0);
      continue;
    }
    if (IsOtherFileSystem(child, device)) {
      ::close(child);
      continue;
    }
    Level next{child, ListNames(child), 0};
    stack.push_back(std::move(next));
  }
}

// Renames a directory without replacing anything: Linux would replace an
// empty target directory, which the Windows move refuses. Where the file
// system has no RENAME_NOREPLACE, an existing target is looked for first
// (a target made between that look and the rename is still replaced).
bool RenameDirectory(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat target {};
  if (::lstat(to, &target) == 0) {
    errno = EEXIST;
    return false;
  }
  errno = 0;
  return ::rename(from, to) == 0;
}

// Moves the regular file `from` to another file system: copies it to a new
// hidden name in the target's directory, fsyncs the copy, renames it over
// `to`, fsyncs that directory, and only then unlinks the source. Until the
// rename the target is untouched; a failure before it removes the copy and
// leaves source and target as they were. False also when the source cannot
// be unlinked at the end (the target then holds the copy).
bool MoveAcrossFileSystems(const char* from, const char* to) {
  const InputFile in(from);
  if (!in.IsOpen()) return false;
  if (!S_ISREG(in.status().st_mode)) {
    errno = EXDEV;
    return false;
  }
  const std::string directory = DirectoryOf(to);
  std::string copy;
  int out = -1;
  for (int attempt = 0; attempt < kTempAttempts && out < 0; ++attempt) {
    copy = JoinPath(directory, ".qmk-move-" + TempName());
    out = OpenCloexec(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0 && errno != EEXIST) return false;
  }
  if (out < 0) return false;
  bool done = CopyData(in.fd(), out, in.status());
  if (done) {
    // A file system without permission bits is no reason to fail.
    ::fchmod(out, in.status().st_mode & 07777);
    done = ::fsync(out) == 0;
  }
  if (::close(out) != 0) done = false;
  if (done) done = ::rename(copy.c_str(), to) == 0;
  if (!done) {
    const int saved = errno;
    ::unlink(copy.c_str());
    errno = saved;
    return false;
  }
  SyncPath(directory);
  errno = 0;
  return ::unlink(from) == 0;
}

}  // namespace

FILE* FileSystem::qmfopen(const char* path, const char* mode) {
  FILE* file = nullptr;
  const int error = OpenStream(path, mode, &file);
  errno = error;
  return file;
}

FILE* FileSystem::qmfopen(const std::string& path, const char* mode) {
  return qmfopen(path.c_str(), mode);
}

int FileSystem::qmfopen_s(FILE** file, const char* path, const char* mode) {
  errno = 0;
  if (file == nullptr) {
    errno = EINVAL;
    return EINVAL;
  }
  const int error = OpenStream(path, mode, file);
  errno = error;
  return error;
}

int FileSystem::qmfopen_s(FILE** file, const std::string& path, const char* mode) {
  return qmfopen_s(file, path.c_str(), mode);
}

int FileSystem::qmopen(const char* path, int flags, int permissions) {
  errno = 0;
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return OpenCloexec(path, flags, static_cast<mode_t>(permissions));
}

int FileSystem::qmopen(const std::string& path, int flags, int permissions) {
  return qmopen(path.c_str(), flags, permissions);
}

bool FileSystem::FileExists(const char* path) {
  errno = 0;
  return path != nullptr && ::access(path, F_OK) == 0;
}

bool FileSystem::FileReadable(const char* path) {
  errno = 0;
  return path != nullptr && ::access(path, R_OK) == 0;
}

bool FileSystem::DirExists(const char* path) {
  errno = 0;
  if (path == nullptr) return false;
  std::string text = path;
  if (text.size() > 1 && IsSeparator(text.back())) text.pop_back();
  struct stat status {};
  return ::stat(text.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

int FileSystem::Stat(const char* path, FileStat* stat) {
  errno = 0;
  if (path == nullptr || stat == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat status {};
  if (::stat(path, &status) != 0) return -1;
  stat->size = static_cast<std::int64_t>(status.st_size);
  stat->accessTime = static_cast<std::int64_t>(status.st_atime);
  stat->changeTime = static_cast<std::int64_t>(status.st_ctime);
  stat->modifyTime = static_cast<std::int64_t>(status.st_mtime);
  stat->mode = static_cast<std::uint64_t>(status.st_mode);
  return 0;
}

int FileSystem::Mkdir(const char* path) {
  errno = 0;
  if (path == nullptr) return InvalidArgument();
  return ::mkdir(path, 0777);
}

int FileSystem::Rmdir(const char* path) {
  errno = 0;
  if (path == nullptr) return InvalidArgument();
  return ::rmdir(path);
}

int FileSystem::Chdir(const char* path) {
  errno = 0;
  if (path == nullptr) return InvalidArgument();
  return ::chdir(path);
}

int FileSystem::Unlink(const char* path) {
  errno = 0;
  if (path == nullptr) return InvalidArgument();
  return ::unlink(path);
}

bool FileSystem::RenameFile(const char* from, const char* to) {
  errno = 0;
  if (from == nullptr || to == nullptr) return false;
  struct stat source {};
  if (::lstat(from, &source) != 0) return false;
  errno = 0;
  const std::string toDirectory = DirectoryOf(to), fromDirectory = DirectoryOf(from);
  if (S_ISDIR(source.st_mode)) {
    if (!RenameDirectory(from, to)) return false;
    SyncPath(to);
    SyncPath(toDirectory);
  } else if (::rename(from, to) == 0) {
    SyncPath(to);
    SyncPath(toDirectory);
  } else {
    if (errno != EXDEV || !S_ISREG(source.st_mode)) return false;
    if (!MoveAcrossFileSystems(from, to)) return false;  // synced the copy and its directory
  }
  if (fromDirectory != toDirectory) SyncPath(fromDirectory);
  errno = 0;
  return true;
}

bool FileSystem::CopyFile(const char* from, const char* to) {
  errno = 0;
  if (to == nullptr) return false;
  const InputFile in(from);
  if (!in.IsOpen()) return false;
  // O_NONBLOCK only for the open: a FIFO without a reader fails (ENXIO)
  // instead of waiting for one; the writes block as usual.
  const int out = OpenCloexec(to, O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
  if (out < 0) return false;
  const int statusFlags = ::fcntl(out, F_GETFL);
  if (statusFlags < 0 || ::fcntl(out, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
    CloseQuietly(out);
    return false;
  }
  struct stat target {};
  bool copied = ::fstat(out, &target) == 0;
  if (copied && target.st_dev == in.status().st_dev && target.st_ino == in.status().st_ino) {
    errno = EINVAL;  // one file: truncating it would lose it
    CloseQuietly(out);
    return false;
  }
  // An existing target is overwritten from its start and cut to what was
  // copied at the end, success or not, so it ends as "wb" would leave it;
  // writing over its blocks spares freeing and allocating them again.
  {
    const SigpipeBlocker noSigpipe;  // a pipe whose reader left gives EPIPE
    copied = copied && CopyData(in.fd(), out, in.status());
  }
  if (S_ISREG(target.st_mode)) {
    const off_t end = ::lseek(out, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(out, end) != 0) copied = false;
  }
  if (::close(out) != 0) copied = false;
  return copied;
}

bool FileSystem::CompareBinaryFiles(const char* first, const char* second) {
  errno = 0;
  const InputFile a(first);
  if (!a.IsOpen()) return false;
  const InputFile b(second);
  if (!b.IsOpen()) return false;
  if (a.KnownSize() >= 0 && b.KnownSize() >= 0 && a.KnownSize() != b.KnownSize()) return false;
  const std::unique_ptr<char[]> bufferA(new char[kCopyBlock]), bufferB(new char[kCopyBlock]);
  for (;;) {
    const ssize_t gotA = ReadFull(a.fd(), bufferA.get(), kCopyBlock);
    const ssize_t gotB = ReadFull(b.fd(), bufferB.get(), kCopyBlock);
    if (gotA < 0 || gotB < 0 || gotA != gotB ||
        std::memcmp(bufferA.get(), bufferB.get(), static_cast<std::size_t>(gotA)) != 0) {
      return false;
    }
    if (gotA == 0) return true;
  }
}

bool FileSystem::CompareTextFiles(const char* first, const char* second) {
  errno = 0;
  const InputFile a(first);
  if (!a.IsOpen()) return false;
  const InputFile b(second);
  if (!b.IsOpen()) return false;
  TextReader readerA(a.fd()), readerB(b.fd());
  for (;;) {
    const int c = readerA.Next();
    if (c != readerB.Next()) return false;
    if (c == EOF) return !readerA.Failed() && !readerB.Failed();
  }
}

std::string FileSystem::GetCurDir(bool trailingSeparator) {
  errno = 0;
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
  std::string directory = buffer;
  if (trailingSeparator && (directory.empty() || directory.back() != FileSpec::DIR_SEP_CHAR)) {
    directory += FileSpec::DIR_SEP_CHAR;
  }
  return directory;
}

std::string FileSystem::MakePathAbsolute(const char* path) {
  if (path == nullptr) return {};
  if (*path == '\0' || FileSpec::IsAbsolute(path)) return path;
  const std::string directory = GetCurDir(true);
  if (directory.empty()) return {};
  return directory + path;
}

std::string FileSystem::GetHomeDir() {
  const std::string drive = Environment::Get("HOMEDRIVE"), path = Environment::Get("HOMEPATH");
  if (!drive.empty() && !path.empty()) return drive + path;
  return Environment::Get("HOME");
}

std::string FileSystem::GetTempDir() {
  std::string directory = Environment::Get("QUILL_TEMP");
  if (directory.empty()) directory = Environment::Get("TMPDIR");
  if (directory.empty()) directory = "/tmp";
  return directory;
}

bool FileSystem::PreProcessEnvVarInPath(std::string& path) {
  if (path.empty() || path[0] != '$') return true;
  if (path.size() == 1) return false;
  std::string name, rest;
  if (path[1] == '(') {
    const std::size_t close = path.size() >= 4 ? path.find(')', 3) : std::string::npos;
    if (close == std::string::npos) return false;
    name = path.substr(2, close - 2);
    rest = path.substr(close + 1);
  } else {
    std::size_t end = path.find('/', 1);
    if (end == std::string::npos) end = path.find('\\', 1);
    if (end == std::string::npos) end = path.size();
    name = path.substr(1, end - 1);
    rest = path.substr(end);
  }
  if (name.empty()) return false;
  const std::string value = Environment::Get(name);
  if (value.empty()) return false;
  path = value + rest;
  return true;
}

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

bool FileSystem::DeletePath(const std::string& directory) {
  errno = 0;
  std::string path = directory;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == "/") return false;
  const std::size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : DirectoryOf(path);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") {  // it could name the root or the current directory
    errno = EINVAL;
    return false;
  }
  const int parentFd = OpenCloexec(parent.c_str(), O_RDONLY | O_DIRECTORY);
  if (parentFd < 0) return false;
  const int top = OpenDirectoryAt(parentFd, name.c_str());
  if (top < 0) {
    // A symbolic link is unlinked, never followed.
    bool removed = false;
    struct stat status {};
    if ((errno == ELOOP || errno == ENOTDIR) &&
        ::fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode)) {
      errno = 0;
      removed = ::unlinkat(parentFd, name.c_str(), 0) == 0;
    }
    CloseQuietly(parentFd);
    return removed;
  }
  // The root itself, reached through a mount of it, is refused as "/" is.
  struct stat topStatus {};
  struct stat rootStatus {};
  bool refused = ::fstat(top, &topStatus) != 0 || ::stat("/", &rootStatus) != 0;
  if (!refused && topStatus.st_dev == rootStatus.st_dev && topStatus.st_ino == rootStatus.st_ino) {
    errno = EBUSY;
    refused = true;
  }
  if (refused) {
    CloseQuietly(top);
    CloseQuietly(parentFd);
    return false;
  }
  EmptyDirectory(top, topStatus.st_dev);
  errno = 0;
  const bool removed = ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0;
  CloseQuietly(parentFd);
  return removed;
}

bool FileSystem::BackupFile(const std::string& path, int count) {
  if (!FileExists(path.c_str())) return false;
  if (path.size() >= 2 && path[path.size() - 2] == '~') return false;
  if (count < 1) {
    int number = 1;
    while (FileExists(BackupName(path, number).c_str())) ++number;
    return CopyFile(path.c_str(), BackupName(path, number).c_str());
  }
  for (int number = 1; number <= count; ++number) {
    const std::string name = BackupName(path, number);
    if (!FileExists(name.c_str())) return CopyFile(path.c_str(), name.c_str());
  }
  if (Unlink(BackupName(path, 1).c_str()) != 0) return false;
  for (int number = 1; number < count; ++number) {
    const std::string source = BackupName(path, number + 1);
    if (!FileExists(source.c_str())) return false;
    if (!RenameFile(source.c_str(), BackupName(path, number).c_str())) return false;
  }
  return CopyFile(path.c_str(), BackupName(path, count).c_str());
}

bool FileSystem::BuildPath(const std::string& path, bool isDirectory) {
  if (path.empty()) return false;
  FileSpec parsed;
  if (isDirectory) {
    parsed.SetDirPath(path);
  } else {
    parsed.SetFileSpec(path);
  }
  FileSpec prefix;
  if (parsed.IsAbsolute()) prefix.MarkAsAbsolute();
  for (auto name = parsed.DirBegin(); name != parsed.DirEnd(); ++name) {
    prefix.DirPushBack(*name);
    std::string text;
    prefix.GetLocation(&text, false);
    if (text.empty() || DirExists(text.c_str())) continue;
    errno = 0;
    if (::mkdir(text.c_str(), 0777) != 0 && !(errno == EEXIST && DirExists(text.c_str()))) {
      return false;
    }
  }
  return true;
}

}  // namespace dp
