#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/internal/filesystem.h"

namespace dp {

using fsutil::CloseQuietly;
using fsutil::DirectoryOf;
using fsutil::OpenCloexec;

namespace {

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

}  // namespace

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
