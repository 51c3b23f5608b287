#include "qmkutils/platform/internal/utf16.h"

#include <cstdint>

namespace dp::utf16 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void AppendUtf16(char32_t codePoint, std::wstring* out) {
  if (codePoint < 0x10000) {
    out->push_back(static_cast<wchar_t>(codePoint));
    return;
  }
  const char32_t offset = codePoint - 0x10000;
  out->push_back(static_cast<wchar_t>(0xD800 + (offset >> 10)));
  out->push_back(static_cast<wchar_t>(0xDC00 + (offset & 0x3FF)));
}

void AppendUtf8(char32_t codePoint, std::string* out) {
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// The second byte's range is what rules out overlong forms, encoded
// surrogates and values above U+10FFFF; the remaining bytes are plain
// continuation bytes.
struct LeadByte {
  int length;  // 0: the byte cannot start a sequence
  unsigned char secondMin;
  unsigned char secondMax;
};

LeadByte ClassifyLead(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Decodes the sequence at `*pos` and advances past it; an invalid sequence
// yields U+FFFD and advances past its maximal invalid subpart only, so the
// byte that broke it is decoded afresh.
char32_t DecodeOne(std::string_view text, std::size_t* pos) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(*pos);
  ++*pos;
  if (lead < 0x80) return lead;
  const LeadByte kind = ClassifyLead(lead);
  if (kind.length == 0) return kReplacement;
  if (*pos >= text.size() || byteAt(*pos) < kind.secondMin || byteAt(*pos) > kind.secondMax) {
    return kReplacement;
  }
  char32_t codePoint = lead & (0xFF >> (kind.length + 1));
  for (int i = 1; i < kind.length; ++i) {
    if (*pos >= text.size() || !IsContinuation(byteAt(*pos))) return kReplacement;
    codePoint = (codePoint << 6) | (byteAt(*pos) & 0x3F);
    ++*pos;
  }
  return codePoint;
}

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::wstring FromUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) AppendUtf16(DecodeOne(utf8, &pos), &out);
  return out;
}

std::string ToUtf8(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  // wchar_t is signed: negative values land above 0xFFFF and are invalid.
  auto unitAt = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(utf16[i]));
  };
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const std::uint32_t unit = unitAt(i);
    if (unit > 0xFFFF || IsLowSurrogate(unit)) {
      AppendUtf8(kReplacement, &out);
    } else if (IsHighSurrogate(unit)) {
      const bool paired = i + 1 < utf16.size() && IsLowSurrogate(unitAt(i + 1));
      if (!paired) {
        AppendUtf8(kReplacement, &out);
        continue;
      }
      const std::uint32_t low = unitAt(++i);
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), &out);
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

}  // namespace dp::utf16
