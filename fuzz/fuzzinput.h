// Splitting a fuzzer's input into the fields a target needs.
#ifndef QMKUTILS_FUZZ_FUZZINPUT_H_
#define QMKUTILS_FUZZ_FUZZINPUT_H_

#include <string_view>

namespace qmk_fuzz {

// The text up to the next newline (or the end); `input` moves past it.
inline std::string_view NextLine(std::string_view& input) {
  const auto newline = input.find('\n');
  const std::string_view line = input.substr(0, newline);
  input = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
  return line;
}

}  // namespace qmk_fuzz

#endif  // QMKUTILS_FUZZ_FUZZINPUT_H_
