// Fuzzes the splitting of a child's command line into its argument vector.
// The first input line is split as a whole command line: no crash, no read
// past its end. The remaining lines are a program and its arguments: a
// command line built from those that the builder's quoting keeps intact (not
// empty, no double quote, backslash or tab) must split back into exactly
// them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "qmkutils/platform/internal/commandline.h"

namespace {

bool KeptIntact(std::string_view text) {
  return !text.empty() && text.find_first_of("\"\\\t") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Copied so that AddressSanitizer sees the exact end of the line.
  const std::string line(qmk_fuzz::NextLine(input));
  (void)dp::cmdline::Split(line);

  const std::string_view program = qmk_fuzz::NextLine(input);
  if (!KeptIntact(program)) return 0;
  std::vector<std::string> args;
  while (!input.empty()) {
    const std::string_view arg = qmk_fuzz::NextLine(input);
    if (KeptIntact(arg)) args.emplace_back(arg);
  }
  (void)dp::cmdline::Split(dp::cmdline::Build(program, args, true, true));
  std::vector<std::string> expected{std::string(program)};
  expected.insert(expected.end(), args.begin(), args.end());
  if (dp::cmdline::Split(dp::cmdline::Build(program, args, false, false)) != expected) {
    std::fprintf(stderr, "command_line: %zu arguments did not come back\n", expected.size());
    std::abort();
  }
  return 0;
}
