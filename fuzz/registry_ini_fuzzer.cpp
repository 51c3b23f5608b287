// Fuzzes the registry store's INI reader over arbitrary text. Input: the key
// (section name) up to the first newline, the value name up to the second,
// then the file text. It must never crash; a value found is a part of the
// text, trimmed, free of NUL bytes and newlines; nothing found leaves the
// output alone; key and value names compare without regard to ASCII case, and
// "@" names the default value as the empty name does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzzinput.h"
#include "qmkutils/platform/internal/registry.h"

namespace {

constexpr std::string_view kUntouched = "\x01untouched";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "registry_ini: %s\n", what);
  std::abort();
}

std::string SwapAsciiCase(std::string_view text) {
  std::string swapped(text);
  for (char& c : swapped) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return swapped;
}

bool Read(std::string_view text, std::string_view key, std::string_view name, std::string* data) {
  *data = kUntouched;
  const bool found = dp::registry::ReadValueFromText(text, key, name, data);
  if (!found && *data != kUntouched) Fail("output changed although nothing was found");
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view key = qmk_fuzz::NextLine(input);
  const std::string_view name = qmk_fuzz::NextLine(input);
  const std::string_view text = input;

  std::string value;
  const bool found = Read(text, key, name, &value);
  if (found) {
    if (text.find(value) == std::string_view::npos) Fail("the value is not part of the text");
    if (value.find_first_of(std::string_view("\0\n", 2)) != std::string::npos) {
      Fail("the value holds a NUL byte or a newline");
    }
    if (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                           value.back() == '\t')) {
      Fail("the value is not trimmed");
    }
  }

  std::string other;
  if (Read(text, SwapAsciiCase(key), SwapAsciiCase(name), &other) != found ||
      (found && other != value)) {
    Fail("names compare with regard to case");
  }
  if (name.empty() || name == "@") {
    if (Read(text, key, name.empty() ? "@" : "", &other) != found || (found && other != value)) {
      Fail("\"@\" and the empty name read different values");
    }
  }
  return 0;
}
