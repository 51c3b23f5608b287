// Fuzzes conversion from UTF-8 to the legacy encodings of the interface
// languages, strictly and with a replacement ("?", or "", which drops what
// fails). The first byte picks the encoding and the replacement, the rest is
// the text. Every result must be that of plain iconv calls over the whole
// text, a failed character skipped by the length its lead byte gives but
// never past the end; a failure leaves `out` alone.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/encodingcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  qmk_fuzz::ConversionCheck& check = qmk_fuzz::ConversionCheck::For(data[0], true);
  const bool dropping = (data[0] / qmk_fuzz::kLegacyCount) % 2 != 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  check.Check(text, nullptr);
  check.Check(text, dropping ? "" : "?");
  return 0;
}
