// Fuzzes the table-free UTF-8/UTF-16 mapping. The input is decoded as UTF-8
// through every entry point (whole, NUL-terminated, ranged, buffered,
// fresh): no read past its end, and all forms agree. Read as 16-bit units,
// the input must encode and decode back to exactly those units.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qmkutils/utilities/widetext.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "wide_text: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  (void)du::Utf8ToWideStr(bytes);

  // Up to the first NUL, the NUL-terminated forms see the same text.
  const std::string untilNul(bytes.c_str());
  int length = -1;
  const wchar_t* buffered = du::Utf8ToWideBuffered(bytes.c_str(), &length);
  wchar_t* fresh = du::Utf8ToWide(untilNul.c_str());
  if (std::wstring(buffered, static_cast<std::size_t>(length)) != du::Utf8ToWideStr(untilNul) ||
      std::wcscmp(buffered, fresh) != 0) {
    Fail("the NUL-terminated forms disagree");
  }
  std::free(fresh);
  if (size > 0) (void)du::Utf8ToWideStr(bytes, data[0] % size, data[size - 1]);

  std::wstring units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::string encoded = du::WideStrToUtf8(units);
  if (du::Utf8ToWideStr(encoded) != units) Fail("16-bit units did not come back");
  if (units.find(L'\0') == std::wstring::npos) {
    char* viaBuffer = du::WideToUtf8(units.c_str(), &length);
    if (encoded != std::string(viaBuffer, static_cast<std::size_t>(length))) {
      Fail("the fresh form disagrees");
    }
    std::free(viaBuffer);
  }
  return 0;
}
