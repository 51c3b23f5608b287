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
// Between the legacy encodings above, UTF-8 and a few others without shift
// states, long texts are converted mostly through a table of the characters
// met so far, each learned from iconv once; the results are iconv's.
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

#include <cstddef>
#include <memory>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

namespace encoding_internal {
class CharacterTable;
}

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
  void ReserveBuffer(std::size_t inputSize);
  void ReleaseResources() noexcept;
  encoding_internal::CharacterTable* TableFor(std::size_t inputSize);

  Symbol from_;
  Symbol to_;
  // The iconv_t, null when not open; a plain pointer keeps <iconv.h> private.
  void* descriptor_ = nullptr;
  bool fromUtf8_ = false;
  char* buffer_ = nullptr;
  unsigned bufferSize_ = 0;
  // What iconv makes of each character met so far, for long texts.
  std::unique_ptr<encoding_internal::CharacterTable> table_;
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_ENCODINGCONVERTER_H_
