#include "qmkutils/utilities/internal/charactertable.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace du::encoding_internal {

namespace {

// Encodings without shift states whose characters convert one by one,
// written in upper case without '-' and '_'.
constexpr std::string_view kContextFreeEncodings[] = {
    "UTF8",  "ASCII", "USASCII", "SJIS",   "SHIFTJIS", "BIG5",      "GB2312", "EUCCN",
    "EUCKR", "KOI8R", "KOI8U",   "LATIN1", "ISO88591", "ISO885915", "CP1252", "WINDOWS1252"};

bool IsContextFree(const Symbol& name) {
  std::string key;
  for (const char c : name.view()) {
    if (c == '-' || c == '_') continue;
    key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return std::find(std::begin(kContextFreeEncodings), std::end(kContextFreeEncodings), key) !=
         std::end(kContextFreeEncodings);
}

}  // namespace

bool CharacterTable::Covers(const Symbol& from, const Symbol& to) {
  return IsContextFree(from) && IsContextFree(to);
}

CharacterTable::CharacterTable(void* descriptor) : descriptor_(descriptor) {
  char ascii[128];
  for (int b = 0; b < 128; ++b) ascii[b] = static_cast<char>(b);
  char out[sizeof ascii];
  char* inPtr = ascii;
  std::size_t inLeft = sizeof ascii;
  char* outPtr = out;
  std::size_t outLeft = sizeof out;
  const auto iconvDescriptor = static_cast<iconv_t>(descriptor_);
  iconv(iconvDescriptor, nullptr, nullptr, nullptr, nullptr);
  asciiUnchanged_ = iconv(iconvDescriptor, &inPtr, &inLeft, &outPtr, &outLeft) == 0 &&
                    outLeft == 0 && std::equal(ascii, ascii + sizeof ascii, out);
  iconv(iconvDescriptor, nullptr, nullptr, nullptr, nullptr);
  if (asciiUnchanged_) {
    for (uint32_t b = 0; b < 128; ++b) singles_[b] = 1u << 24 | b;
  }
}

CharacterTable::~CharacterTable() {
  for (uint32_t* row : pairs_) CommonAllocatorImpl::DeallocateBytes(row, kRow2 * sizeof *row);
  for (uint32_t* row : triples_) CommonAllocatorImpl::DeallocateBytes(row, kRow3 * sizeof *row);
}

uint32_t* CharacterTable::NewRow(std::size_t entries) {
  auto* row =
      static_cast<uint32_t*>(CommonAllocatorImpl::AllocateBytes(entries * sizeof(uint32_t)));
  std::fill(row, row + entries, kUnknown);
  return row;
}

void CharacterTable::ConvertKnown(const unsigned char*& p, const unsigned char* end, char*& o,
                                  const char* oEnd) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  const unsigned char* in = p;
  char* out = o;
  while (in < end && oEnd - out >= 8) {
    if (asciiUnchanged_ && end - in >= 8) {
      uint64_t word;
      std::memcpy(&word, in, 8);
      if ((word & kHighBits) == 0) {
        std::memcpy(out, &word, 8);
        in += 8;
        out += 8;
        continue;
      }
    }
    uint32_t entry = singles_[*in];
    std::size_t length = 1;
    if (!IsOutput(entry)) {
      // Two-byte characters known already, without a call.
      const uint32_t* const pairs = pairs_[*in];
      if (entry == kLonger && pairs != nullptr && end - in >= 2 && IsOutput(pairs[in[1]])) {
        entry = pairs[in[1]];
        length = 2;
      } else {
        entry = Lookup(in, end, length);
        if (!IsOutput(entry)) break;
      }
    }
    out[0] = static_cast<char>(entry);
    out[1] = static_cast<char>(entry >> 8);
    out[2] = static_cast<char>(entry >> 16);
    out += OutputLength(entry);
    in += length;
  }
  p = in;
  o = out;
}

uint32_t CharacterTable::LookupLonger(const unsigned char* p, const unsigned char* end,
                                      std::size_t& length) {
  if (end - p < 2) return kIconv;
  uint32_t*& pairs = pairs_[p[0]];
  if (pairs == nullptr) pairs = NewRow(kRow2);
  uint32_t entry = pairs[p[1]];
  if (entry == kUnknown) entry = pairs[p[1]] = Learn(p, 2);
  length = 2;
  if (entry != kLonger) return entry;

  const bool utf8Shaped = (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80;
  if (end - p < 3 || !utf8Shaped || (p[2] & 0xC0) != 0x80) return kIconv;
  uint32_t*& triples = triples_[(p[0] & 0x0F) << 6 | (p[1] & 0x3F)];
  if (triples == nullptr) triples = NewRow(kRow3);
  entry = triples[p[2] & 0x3F];
  if (entry == kUnknown) entry = triples[p[2] & 0x3F] = Learn(p, 3);
  length = 3;
  return entry == kLonger ? kIconv : entry;
}

uint32_t CharacterTable::Learn(const unsigned char* p, std::size_t length) {
  char in[3];
  std::memcpy(in, p, length);
  char out[8];
  char* inPtr = in;
  std::size_t inLeft = length;
  char* outPtr = out;
  std::size_t outLeft = sizeof out;
  const auto descriptor = static_cast<iconv_t>(descriptor_);
  iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
  const std::size_t status = iconv(descriptor, &inPtr, &inLeft, &outPtr, &outLeft);
  const int error = errno;
  iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
  const auto produced = static_cast<std::size_t>(outPtr - out);
  if (status == static_cast<std::size_t>(-1)) {
    if (inPtr != in || produced != 0) return kIconv;
    return error == EINVAL ? kLonger : error == EILSEQ ? kInvalid : kIconv;
  }
  if (produced == 0 || produced > 3) return kIconv;
  uint32_t entry = static_cast<uint32_t>(produced) << 24;
  for (std::size_t i = 0; i < produced; ++i)
    entry |= static_cast<uint32_t>(static_cast<unsigned char>(out[i])) << (8 * i);
  return entry;
}

}  // namespace du::encoding_internal
