#include "qmkutils/installer/internal/bomtext.h"

#include <charconv>

#include "qmkutils/platform/internal/filesystem.h"

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
  if (dp::fsutil::ReadSmallFile(path, kLimit, text)) return true;
  Trace()(dp::Error, "Failed to read file \"%s\"\n", path.c_str());
  return false;
}

}  // namespace installer::bom_text
