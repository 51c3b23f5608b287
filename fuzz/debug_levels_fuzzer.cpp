// Fuzzes the parser of "QMTRACE_DEBUG" values. Input: the source key up to
// the first newline, its sub-key up to the second, then the text. It must
// never crash; blanks before the text and after it change nothing; a source
// the text does not name has level 0; and a text that is accepted stays
// accepted, with the same levels, when a valid entry is appended after a
// comma.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzzinput.h"
#include "qmkutils/tracing/debuglevels.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "debug_levels: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view key = qmk_fuzz::NextLine(input);
  const std::string_view subKey = qmk_fuzz::NextLine(input);
  const std::string text(input);

  const dp::DebugLevels levels = dp::DebugLevels::Parse(text);
  const unsigned level = levels.Get(key, subKey);

  const dp::DebugLevels padded = dp::DebugLevels::Parse(" \t" + text + "\t ");
  if (padded.IsEmpty() != levels.IsEmpty() || padded.Get(key, subKey) != level) {
    Fail("blanks around the text changed the result");
  }

  const std::string name =
      subKey.empty() ? std::string(key) : std::string(key) + "::" + std::string(subKey);
  if (level != 0 && text.find(name) == std::string::npos) Fail("a level for a name never written");

  // "\x7f" cannot be a name of the text's own sources in a query below.
  const dp::DebugLevels extended = dp::DebugLevels::Parse(text + ", \x7f=0x10");
  if (!levels.IsEmpty() && (extended.Get("\x7f", "") != 0x10 ||
                            (name != "\x7f" && extended.Get(key, subKey) != level))) {
    Fail("an appended entry changed an accepted text");
  }
  return 0;
}
