// Files in memory for fuzzers, reached by a path so that the code under
// test opens them itself, as it would open a real file.
#ifndef QMKUTILS_FUZZ_SCRATCHFILE_H_
#define QMKUTILS_FUZZ_SCRATCHFILE_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qmk_fuzz {

class ScratchFile {
 public:
  explicit ScratchFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) Fail("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the file's contents.
  void Set(const std::uint8_t* data, std::size_t size) const {
    if (ftruncate(fd_, 0) != 0 ||
        (size > 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))) {
      Fail("cannot write the scratch file");
    }
  }
  const std::string& path() const { return path_; }

 private:
  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "scratch file: %s\n", what);
    std::abort();
  }

  int fd_;
  std::string path_;
};

}  // namespace qmk_fuzz

#endif  // QMKUTILS_FUZZ_SCRATCHFILE_H_
