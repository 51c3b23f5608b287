// Fuzzes the strings-file loader over arbitrary bytes, plain and
// pseudo-localised. Loading either succeeds or raises du::LocalizerError;
// every loaded template covers its text exactly with its segments, expects
// one more argument than its largest index, and builds with that many
// arguments into its literal text and the arguments, while one argument
// more or less is refused without writing anything.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "qmkutils/utilities/qmtrb.h"

namespace {

// Templates expecting more arguments are built with wrong counts only: the
// caller, not the library, would have to hold that many.
constexpr int kMaxArgumentsBuilt = 64;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "strings_file: %s\n", what);
  std::abort();
}

void CheckRefused(const du::Qmtrb& file, const du::MessageTemplate& message,
                  const std::vector<std::string>& arguments) {
  std::ostringstream out;
  try {
    file.BuildLocalizedString(out, message.GetTag(), arguments);
  } catch (const du::LocalizerError&) {
    if (!out.str().empty()) Fail("a refused build wrote text");
    return;
  }
  Fail("a wrong number of arguments was accepted");
}

void CheckTemplate(const du::Qmtrb& file, const du::MessageTemplate& message) {
  const std::string& text = message.GetText();
  std::size_t covered = 0;
  int largest = -1;
  std::size_t literal = 0;
  for (const auto& segment : message.GetSegments()) {
    if (segment.start < covered || segment.start > text.size() ||
        segment.length > text.size() - segment.start) {
      Fail("a segment lies outside its text");
    }
    literal += segment.length;
    covered = segment.start + segment.length;
    largest = std::max(largest, segment.argumentIndex);
  }
  if (message.GetSegments().empty() || message.GetSegments().back().argumentIndex != -1 ||
      covered != text.size()) {
    Fail("the segments do not end with the rest of the text");
  }
  const int expected = message.GetExpectedArgumentCount();
  if (expected != largest + 1) Fail("the expected count is not the largest index + 1");
  if (file.FindTemplate(message.GetTag()) == nullptr) Fail("a loaded tag is not found");

  if (expected > kMaxArgumentsBuilt) {
    CheckRefused(file, message, {});
    return;
  }
  const std::vector<std::string> arguments(static_cast<std::size_t>(expected), "\x01");
  std::ostringstream out;
  file.BuildLocalizedString(out, message.GetTag(), arguments);
  std::size_t placeholders = 0;
  for (const auto& segment : message.GetSegments()) placeholders += segment.argumentIndex >= 0;
  if (out.str().size() != literal + placeholders) Fail("the built message has the wrong size");
  CheckRefused(file, message, std::vector<std::string>(arguments.size() + 1));
  if (expected > 0) CheckRefused(file, message, std::vector<std::string>(arguments.size() - 1));
}

void Load(const std::string& bytes, du::PseudoLocalizeOption option) {
  std::istringstream in(bytes);
  du::SmartPtr<du::Qmtrb> file;
  try {
    file = new du::Qmtrb(in, option);
  } catch (const du::LocalizerError&) {
    return;
  }
  if (file->GetTemplates().empty()) Fail("a file without templates loaded");
  for (const du::MessageTemplate& message : file->GetTemplates()) CheckTemplate(*file, message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Load(bytes, du::kNoPseudoLocalization);
  Load(bytes, du::kPseudoLocalize);
  return 0;
}
