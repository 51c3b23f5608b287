#include "qmkutils/installer/internal/bomtext.h"

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

bool ReadSmallFile(const std::string& path, std::string* text) {
  constexpr std::size_t kLimit = std::size_t{64} << 20;
  if (dp::fsutil::ReadSmallFile(path, kLimit, text)) return true;
  Trace()(dp::Error, "Failed to read file \"%s\"\n", path.c_str());
  return false;
}

}  // namespace installer::bom_text
