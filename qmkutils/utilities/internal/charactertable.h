// What an iconv descriptor makes of single characters, learned from it one
// character at a time and kept, so that a long text calls iconv only for the
// characters it has not met before. Internal; not installed.
//
// Only pairs of encodings without shift states, whose characters convert
// independently of their neighbours, may use a table (Covers): there,
// converting a text character by character gives what one iconv call over
// the whole text gives, failures included.
//
// A character is 1 byte, 2 bytes, or 3 bytes shaped like UTF-8's (lead
// 0xE0-0xEF, then 0x80-0xBF); iconv itself tells where one ends (it reports
// a lone lead byte as incomplete). Anything else is left to the caller's
// iconv calls.
//
// A table belongs to its converter and is used by one thread at a time.
#ifndef QMKUTILS_UTILITIES_INTERNAL_CHARACTERTABLE_H_
#define QMKUTILS_UTILITIES_INTERNAL_CHARACTERTABLE_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/utilities/symbol.h"

namespace du::encoding_internal {

class CharacterTable : public CommonAllocated {
 public:
  // An entry: up to 3 output bytes, the first in the low byte, and their
  // count in the top byte; or one of these tags there.
  static constexpr uint32_t kUnknown = 0;
  static constexpr uint32_t kInvalid = 0x10u << 24;  // iconv refuses the character
  static constexpr uint32_t kLonger = 0x20u << 24;   // a lead byte, more to come
  static constexpr uint32_t kIconv = 0x30u << 24;    // left to the caller's iconv

  static bool IsOutput(uint32_t entry) { return (entry >> 24) - 1 < 3; }
  static unsigned OutputLength(uint32_t entry) { return entry >> 24; }

  static bool Covers(const Symbol& from, const Symbol& to);

  // `descriptor` is the converter's iconv_t, which the table resets whenever
  // it learns a character.
  explicit CharacterTable(void* descriptor);
  ~CharacterTable() override;
  CharacterTable(const CharacterTable&) = delete;
  CharacterTable& operator=(const CharacterTable&) = delete;

  // Writes the output of the characters from `p` on to `o`, moving both,
  // while the characters convert, `p` is before `end` and `o` at least 8
  // bytes before `oEnd`. Stops at the first character that does not convert
  // by the table (see Lookup).
  void ConvertKnown(const unsigned char*& p, const unsigned char* end, char*& o, const char* oEnd);

  // The entry of the character at `p`, before `end`, and in `length` its
  // bytes (kIconv: unset).
  uint32_t Lookup(const unsigned char* p, const unsigned char* end, std::size_t& length) {
    uint32_t entry = singles_[p[0]];
    if (entry == kUnknown) entry = singles_[p[0]] = Learn(p, 1);
    length = 1;
    if (entry != kLonger) return entry;
    return LookupLonger(p, end, length);
  }

 private:
  static constexpr std::size_t kRow2 = 256;  // entries by the second byte
  static constexpr std::size_t kRow3 = 64;   // by the third, 0x80-0xBF

  uint32_t LookupLonger(const unsigned char* p, const unsigned char* end, std::size_t& length);
  uint32_t Learn(const unsigned char* p, std::size_t length);
  static uint32_t* NewRow(std::size_t entries);

  void* descriptor_;
  // Every byte below 0x80 converts to itself, so ASCII goes a word at a time.
  bool asciiUnchanged_ = false;
  std::array<uint32_t, 256> singles_{};
  std::array<uint32_t*, 256> pairs_{};  // by lead byte
  std::array<uint32_t*, std::size_t{16} * 64>
      triples_{};  // by the lead's and the second byte's low bits
};

}  // namespace du::encoding_internal

#endif  // QMKUTILS_UTILITIES_INTERNAL_CHARACTERTABLE_H_
