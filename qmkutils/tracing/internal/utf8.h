// Strict UTF-8 decoding for the trace writers that must not pass bad text
// on. Internal; not installed.
#ifndef QMKUTILS_TRACING_INTERNAL_UTF8_H_
#define QMKUTILS_TRACING_INTERNAL_UTF8_H_

#include <cstddef>
#include <string_view>

namespace dp::detail {

// One step through UTF-8 text: a well-formed sequence with its code point,
// or the maximal invalid subpart at that place (a stray or truncated
// sequence, an overlong form, an encoded surrogate, a value above U+10FFFF).
// `length` is at least 1, so a walk always moves on.
struct Utf8Step {
  bool valid;
  char32_t codePoint;  // meaningful only when valid
  std::size_t length;
};

inline Utf8Step DecodeUtf8(std::string_view text, std::size_t position) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(position);
  if (lead < 0x80) return {true, lead, 1};
  // The second byte's range rules out overlong forms, surrogates and values
  // above U+10FFFF; later bytes are plain continuation bytes.
  std::size_t length = 0;
  unsigned char secondMin = 0x80;
  unsigned char secondMax = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondMin = 0xA0;
    if (lead == 0xED) secondMax = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondMin = 0x90;
    if (lead == 0xF4) secondMax = 0x8F;
  } else {
    return {false, 0, 1};
  }
  char32_t codePoint = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const std::size_t at = position + i;
    const unsigned char min = i == 1 ? secondMin : 0x80;
    const unsigned char max = i == 1 ? secondMax : 0xBF;
    if (at >= text.size() || byteAt(at) < min || byteAt(at) > max) return {false, 0, i};
    codePoint = (codePoint << 6) | (byteAt(at) & 0x3F);
  }
  return {true, codePoint, length};
}

}  // namespace dp::detail

#endif  // QMKUTILS_TRACING_INTERNAL_UTF8_H_
