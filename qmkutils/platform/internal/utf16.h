// Conversion between UTF-8 byte strings and wide strings of UTF-16 code units.
//
// The library's wide strings hold UTF-16 code units, one per `wchar_t` (a
// character outside the Basic Multilingual Plane is a surrogate pair, two
// elements), although `wchar_t` is 32 bits wide here. Both directions are
// total: anything that is not valid in the source encoding (a stray or
// truncated UTF-8 sequence, an overlong form, an encoded surrogate, a lone
// surrogate unit, a `wchar_t` value above 0xFFFF) becomes U+FFFD, one per
// maximal invalid subpart, and no input is read past its end.
//
// Internal to the library: not installed, not exported.
#ifndef QMKUTILS_PLATFORM_INTERNAL_UTF16_H_
#define QMKUTILS_PLATFORM_INTERNAL_UTF16_H_

#include <string>
#include <string_view>

namespace dp::utf16 {

std::wstring FromUtf8(std::string_view utf8);
std::string ToUtf8(std::wstring_view utf16);

}  // namespace dp::utf16

#endif  // QMKUTILS_PLATFORM_INTERNAL_UTF16_H_
