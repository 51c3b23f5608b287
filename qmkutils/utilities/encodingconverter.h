// Conversion of byte strings between character encodings.
//
// A du::EncodingConverter opens one iconv descriptor for a pair of encoding
// names (the C library's names: "SJIS", "Big5", "UTF-8", ...) and converts
// whole strings with it. The default converter goes from the legacy encoding
// of the user's interface language (SystemDefault) to UTF-8.
//
// Convert works in one of two modes:
// - strict, the usual one: any invalid or unconvertible character, and a
//   multibyte character cut short by the end of the input, fail the call;
// - tolerant, when a replacement text is given and the source encoding is
//   "UTF-8": each character that cannot be converted is skipped (its length
//   taken from its lead byte, never beyond the end of the input) and the
//   replacement written in its place.
// Either way `out` is replaced only when the call succeeds. The shift
// sequence that returns a stateful target to its initial state ends the
// output.
//
// Unknown (or empty) encoding names give a converter that is not good; its
// Convert returns false. The work buffer comes from the common allocator and
// is grown on demand; its std::bad_alloc propagates.
//
// A converter carries conversion state: use one from one thread at a time.
// Distinct converters may run in parallel. Converters cannot be copied; a
// move hands the descriptor and the buffer over and leaves the source not
// good.
#ifndef QMKUTILS_UTILITIES_ENCODINGCONVERTER_H_
#define QMKUTILS_UTILITIES_ENCODINGCONVERTER_H_

#include <array>
#include <cstddef>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

class QMK_EXPORT EncodingConverter {
 public:
  // From SystemDefault() to UTF8().
  EncodingConverter();
  EncodingConverter(const Symbol& from, const Symbol& to);
  ~EncodingConverter();

  EncodingConverter(const EncodingConverter&) = delete;
  EncodingConverter& operator=(const EncodingConverter&) = delete;
  EncodingConverter(EncodingConverter&& other) noexcept;
  EncodingConverter& operator=(EncodingConverter&& other) noexcept;

  bool IsGood() const noexcept { return descriptor_ != nullptr; }
  const Symbol& GetFrom() const noexcept { return from_; }
  const Symbol& GetTo() const noexcept { return to_; }

  // "UTF-8".
  static Symbol UTF8();
  // The legacy encoding of the current interface language: "SJIS" for "ja",
  // "Big5" for "tc" and "zh_TW", "gb2312" for "sc" and "zh_CN", "EUC-KR" for
  // "ko", "KOI8-R" for "ru", "iso_8859-1" for any other.
  static Symbol SystemDefault();

  // Converts all of `in`. Tolerant (see above) when `replacement` is not
  // null and the source is "UTF-8"; there an empty input returns false.
  bool Convert(const std::string& in, std::string& out, const char* replacement = nullptr);

 private:
  // Whether bytes below 0x80 may bypass iconv (see the .cpp).
  enum class AsciiBypass : unsigned char { kUnknown, kOff, kOn };

  void ReserveBuffer(std::size_t inputSize);
  void ReleaseResources() noexcept;
  bool UseAsciiBypass(std::size_t inputSize);
  void ProbeTransparentBytes();
  const char* TransparentRunEnd(const char* p, const char* end) const;
  const char* IconvStretchEnd(const char* p, const char* end) const;

  Symbol from_;
  Symbol to_;
  // The iconv_t, null when not open; a plain pointer keeps <iconv.h> private.
  void* descriptor_ = nullptr;
  bool fromUtf8_ = false;
  char* buffer_ = nullptr;
  unsigned bufferSize_ = 0;
  AsciiBypass asciiBypass_ = AsciiBypass::kUnknown;
  // Indexed by byte: converts to itself in any context, alone.
  std::array<bool, 256> transparent_{};
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_ENCODINGCONVERTER_H_
