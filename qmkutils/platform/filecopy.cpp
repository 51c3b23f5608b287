#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/internal/filesystem.h"

namespace dp {

using fsutil::CloseQuietly;
using fsutil::DirectoryOf;
using fsutil::kTempAttempts;
using fsutil::OpenCloexec;
using fsutil::TempName;

namespace {

// Block size of the read/write copy and of the comparisons.
constexpr std::size_t kCopyBlock = std::size_t{256} * 1024;
// The most one copy_file_range or sendfile call is asked to move.
constexpr std::size_t kKernelCopyChunk = std::size_t{1} << 30;

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

std::string BackupName(const std::string& path, int number) {
  return path + ".~" + std::to_string(number) + "~";
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

}  // namespace dp
