// What the source files of dp::FileSystem share, and the platform layer's
// other file and descriptor users with them. Internal; not installed.
#ifndef QMKUTILS_PLATFORM_INTERNAL_FILESYSTEM_H_
#define QMKUTILS_PLATFORM_INTERNAL_FILESYSTEM_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace dp::fsutil {

// How many temporary names are tried before giving up.
inline constexpr int kTempAttempts = 32;

// open() with O_CLOEXEC, resumed after a signal.
int OpenCloexec(const char* path, int flags, mode_t permissions = 0);

// Closes `fd`, keeping errno as it was.
void CloseQuietly(int fd);

// The path names a regular file (following links). Inline: the registry
// store's fuzzer compiles its reader without the rest of this layer.
inline bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Reads a whole regular file of at most `limit` bytes into `content`; false
// for anything else (missing, a FIFO or device, never waited on, too large,
// a read error).
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* content);

// The directory that holds `path`, as text.
std::string DirectoryOf(const std::string& path);

// A fresh temporary name: 13 characters from the first 32 of the alphabet.
std::string TempName();

}  // namespace dp::fsutil

#endif  // QMKUTILS_PLATFORM_INTERNAL_FILESYSTEM_H_
