#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "qmkutils/platform/internal/filesystem.h"

namespace dp::fsutil {

// O_NONBLOCK keeps a FIFO planted in the file's place from blocking the
// open; it is then refused as not regular.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::size_t>(info.st_size) <= limit;
  if (ok) {
    // One byte of slack detects a file that grew after fstat; it may grow up
    // to the limit, not past it.
    content->resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t filled = 0;
    while (ok) {
      if (filled == content->size()) {
        ok = content->size() <= limit;
        content->resize(std::min(content->size() * 2, limit + 1));
        continue;
      }
      const ssize_t got = ::read(fd, content->data() + filled, content->size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    content->resize(ok ? filled : 0);
  }
  ::close(fd);
  return ok;
}

}  // namespace dp::fsutil
