#include "qmkutils/platform/internal/processtree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace dp::proctree {
namespace {

// The parent id in /proc/<pid>/stat: the fourth field, after the command
// name in parentheses (which may itself hold blanks and parentheses). 0
// when the process is gone or the file unreadable.
int ParentOf(const char* pid) {
  const std::string path = std::string("/proc/") + pid + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[1024];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* nameEnd = std::strrchr(text, ')');
  if (nameEnd == nullptr || std::strlen(nameEnd) < 5) return 0;
  return static_cast<int>(std::strtol(nameEnd + 4, nullptr, 10));  // ") S ppid"
}

}  // namespace

std::vector<int> Collect(int root, Failure& failure) {
  failure = Failure::kNone;
  DIR* proc = ::opendir("/proc");  // close-on-exec
  if (proc == nullptr) {
    failure = Failure::kOpen;
    return {};
  }
  std::unordered_multimap<int, int> children;
  errno = 0;
  // readdir is safe on a stream that no other thread uses.
  while (const dirent* entry = ::readdir(proc)) {  // NOLINT(concurrency-mt-unsafe)
    const int pid = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
    if (pid > 0) children.emplace(ParentOf(entry->d_name), pid);
    errno = 0;
  }
  const int error = errno;
  ::closedir(proc);
  if (error != 0) {
    failure = Failure::kRead;
    errno = error;
    return {};
  }
  std::vector<int> tree{root};
  // Parent ids read at different moments could, with reused ids, form a
  // loop: no tree holds more processes than the pass saw.
  for (std::size_t next = 0; next < tree.size() && tree.size() <= children.size(); ++next) {
    auto [first, last] = children.equal_range(tree[next]);
    for (auto it = first; it != last; ++it) tree.push_back(it->second);
  }
  return tree;
}

}  // namespace dp::proctree
