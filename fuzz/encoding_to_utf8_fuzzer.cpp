// Fuzzes conversion from the legacy encodings of the interface languages to
// UTF-8. The first byte picks the encoding, the rest is the text. Convert
// must give what plain iconv calls over the whole text give (success and
// output), also when given a replacement (only UTF-8 input is converted
// tolerantly), and leave `out` alone when it fails.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/encodingcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  qmk_fuzz::ConversionCheck& check = qmk_fuzz::ConversionCheck::For(data[0], false);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  check.Check(text, nullptr);
  check.Check(text, "?");
  return 0;
}
