// What the encoding fuzzers compare du::EncodingConverter with: the same
// conversion done the plain way, one iconv call after another over the whole
// input.
#ifndef QMKUTILS_FUZZ_ENCODINGCHECK_H_
#define QMKUTILS_FUZZ_ENCODINGCHECK_H_

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>

#include "qmkutils/utilities/encodingconverter.h"

namespace qmk_fuzz {

// The encodings the interface languages use.
inline constexpr const char* kLegacyEncodings[] = {"SJIS",   "Big5",   "gb2312",
                                                   "EUC-KR", "KOI8-R", "iso_8859-1"};
inline constexpr std::size_t kLegacyCount = sizeof kLegacyEncodings / sizeof kLegacyEncodings[0];

[[noreturn]] inline void Fail(const char* what, const char* from, const char* to) {
  std::fprintf(stderr, "%s to %s: %s\n", from, to, what);
  std::abort();
}

class IconvReference {
 public:
  IconvReference(const char* from, const char* to) : descriptor_(iconv_open(to, from)) {
    if (descriptor_ == reinterpret_cast<iconv_t>(-1)) Fail("iconv_open failed", from, to);
  }
  ~IconvReference() { iconv_close(descriptor_); }
  IconvReference(const IconvReference&) = delete;
  IconvReference& operator=(const IconvReference&) = delete;

  // Strict without a replacement; with one, each character that fails is
  // skipped by the length its UTF-8 lead byte gives, at most what remains.
  bool Convert(const std::string& in, std::string& out, const char* replacement) {
    iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
    std::string result;
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char buffer[256];
    while (inLeft > 0) {
      char* outPtr = buffer;
      std::size_t outLeft = sizeof buffer;
      const std::size_t status = iconv(descriptor_, &inPtr, &inLeft, &outPtr, &outLeft);
      const int error = errno;
      result.append(buffer, static_cast<std::size_t>(outPtr - buffer));
      if (status != static_cast<std::size_t>(-1) || error == E2BIG) continue;
      if (replacement == nullptr) return false;
      const auto lead = static_cast<unsigned char>(*inPtr);
      const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      const std::size_t skipped = std::min(length, inLeft);
      inPtr += skipped;
      inLeft -= skipped;
      result += replacement;
    }
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(descriptor_, nullptr, nullptr, &outPtr, &outLeft);
    result.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    out = std::move(result);
    return true;
  }

 private:
  iconv_t descriptor_;
};

// A converter and its reference for one pair of encodings. They live across
// inputs, as a program's converters would, so the table of characters that
// a converter starts for a long text also serves short ones.
class ConversionCheck {
 public:
  ConversionCheck(const char* from, const char* to)
      : from_(from), to_(to), converter_(from, to), reference_(from, to) {}

  // The converters from (`toLegacy` false) or to the legacy encoding `index`.
  static ConversionCheck& For(std::size_t index, bool toLegacy) {
    static std::deque<ConversionCheck> s_checks = [] {
      std::deque<ConversionCheck> checks;
      for (const char* encoding : kLegacyEncodings) checks.emplace_back(encoding, "UTF-8");
      for (const char* encoding : kLegacyEncodings) checks.emplace_back("UTF-8", encoding);
      return checks;
    }();
    return s_checks[index % kLegacyCount + (toLegacy ? kLegacyCount : 0)];
  }

  // Convert succeeds exactly when the reference does, with its output, and
  // otherwise leaves `out` alone. Tolerant mode refuses an empty text.
  void Check(const std::string& text, const char* replacement) {
    static const std::string kUntouched = "(untouched)";
    std::string expected;
    const bool tolerant = replacement != nullptr && std::string(from_) == "UTF-8";
    const bool converts = !(tolerant && text.empty()) &&
                          reference_.Convert(text, expected, tolerant ? replacement : nullptr);
    std::string out = kUntouched;
    if (converter_.Convert(text, out, replacement) != converts)
      Fail("success differs from plain iconv", from_, to_);
    if (out != (converts ? expected : kUntouched))
      Fail("output differs from plain iconv", from_, to_);
  }

 private:
  const char* from_;
  const char* to_;
  du::EncodingConverter converter_;
  IconvReference reference_;
};

}  // namespace qmk_fuzz

#endif  // QMKUTILS_FUZZ_ENCODINGCHECK_H_
