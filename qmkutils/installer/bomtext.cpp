#include "qmkutils/installer/internal/bomtext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace installer::bom_text {

const dp::QMTracer& Trace() {
  static const dp::QMTracer s_trace("installer", "InstallerBom");
  return s_trace;
}

bool ReadLine(std::istream& in, std::string* line) {
  if (!std::getline(in, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool ParseNumbers(std::string_view text, int* numbers, int count) {
  const char* next = text.data();
  const char* const end = text.data() + text.size();
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (next == end || *next != '.') return false;
      ++next;
    }
    // from_chars takes a leading '-' but no '+' or blanks, as the format has it.
    const auto [stop, error] = std::from_chars(next, end, numbers[i]);
    if (error != std::errc()) return false;
    next = stop;
  }
  return next == end;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  constexpr std::size_t kLimit = std::size_t{64} << 20;
  // Non-blocking, so that a FIFO named like a bom file cannot stall the
  // reader; only regular files are read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) close(fd);
    Trace()(dp::Error, "Failed to open file \"%s\"\n", path.c_str());
    return false;
  }
  text->clear();
  char chunk[8192];
  ssize_t got = 0;
  while (text->size() <= kLimit && (got = read(fd, chunk, sizeof chunk)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    text->append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  const bool complete = got == 0;
  if (!complete) Trace()(dp::Error, "Failed to read file \"%s\"\n", path.c_str());
  return complete;
}

}  // namespace installer::bom_text
