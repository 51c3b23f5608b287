#include "qmkutils/platform/filesystem.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/internal/filesystem.h"

namespace dp {

using fsutil::OpenCloexec;

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// -1 with errno EINVAL.
int InvalidArgument() {
  errno = EINVAL;
  return -1;
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

}  // namespace

namespace fsutil {

int OpenCloexec(const char* path, int flags, mode_t permissions) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, permissions);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseQuietly(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace fsutil

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

}  // namespace dp
