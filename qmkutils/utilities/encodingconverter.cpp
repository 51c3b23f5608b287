#include "qmkutils/utilities/encodingconverter.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/tracing/tracer.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "EncodingConverter");

// The work buffer holds 4 bytes per input byte and 100 more, up to this
// size; longer outputs are produced a buffer at a time.
constexpr std::size_t kMaxWorkBuffer = 64 * 1024;

// Inputs shorter than this never bypass iconv, so converters used for short
// texts never pay for the probe of their transparent bytes.
constexpr std::size_t kBypassMinInput = 1024;
// A run of transparent bytes shorter than this is left to iconv: a call
// costs about as much as converting that many bytes.
constexpr std::size_t kMinBypassRun = 16;

// Encodings without shift states in which every byte below 0x80 is a
// character of its own or the last byte of one, written without '-' and '_'
// and in upper case. Between two of them a character boundary follows every
// byte below 0x80, which is what lets such bytes bypass iconv.
constexpr std::string_view kAsciiBasedEncodings[] = {
    "UTF8",  "ASCII", "USASCII", "SJIS",   "SHIFTJIS", "BIG5",      "GB2312", "EUCCN",      "EUCKR",
    "EUCJP", "KOI8R", "KOI8U",   "LATIN1", "ISO88591", "ISO885915", "CP1252", "WINDOWS1252"};

bool IsAsciiBased(const Symbol& name) {
  std::string key;
  for (const char c : name.view()) {
    if (c == '-' || c == '_') continue;
    key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return std::find(std::begin(kAsciiBasedEncodings), std::end(kAsciiBasedEncodings), key) !=
         std::end(kAsciiBasedEncodings);
}

iconv_t AsIconv(void* descriptor) { return static_cast<iconv_t>(descriptor); }

void ResetShiftState(void* descriptor) {
  ::iconv(AsIconv(descriptor), nullptr, nullptr, nullptr, nullptr);
}

// The bytes a UTF-8 character takes, judged by its lead byte alone.
std::size_t Utf8CharLength(char lead) {
  const auto b = static_cast<unsigned char>(lead);
  if ((b & 0xF0) == 0xF0) return 4;
  if ((b & 0xE0) == 0xE0) return 3;
  if ((b & 0xC0) == 0xC0) return 2;
  return 1;
}

const char* ErrorText(int error) {
  switch (error) {
    case EILSEQ:
      return "invalid or unconvertible character";
    case EINVAL:
      return "incomplete character at the end";
    case E2BIG:
      return "output character too long";
    default:
      return "conversion error";
  }
}

}  // namespace

EncodingConverter::EncodingConverter() : EncodingConverter(SystemDefault(), UTF8()) {}

EncodingConverter::EncodingConverter(const Symbol& from, const Symbol& to)
    : from_(from), to_(to), fromUtf8_(from == "UTF-8") {
  // iconv takes an empty name for the locale's encoding; here it names none.
  if (from.empty() || to.empty()) {
    s_trace(dp::Error, "Cannot convert from \"%s\" to \"%s\": empty encoding name\n",
            from.safe_c_str(), to.safe_c_str());
    return;
  }
  const iconv_t descriptor = ::iconv_open(to.c_str(), from.c_str());
  if (descriptor == reinterpret_cast<iconv_t>(-1)) {
    char text[128];
    s_trace(dp::Error, "Cannot convert from \"%s\" to \"%s\": %s\n", from.c_str(), to.c_str(),
            ::strerror_r(errno, text, sizeof text));
    return;
  }
  descriptor_ = descriptor;
}

EncodingConverter::~EncodingConverter() { ReleaseResources(); }

EncodingConverter::EncodingConverter(EncodingConverter&& other) noexcept
    : from_(std::move(other.from_)),
      to_(std::move(other.to_)),
      descriptor_(std::exchange(other.descriptor_, nullptr)),
      fromUtf8_(other.fromUtf8_),
      buffer_(std::exchange(other.buffer_, nullptr)),
      bufferSize_(std::exchange(other.bufferSize_, 0)),
      asciiBypass_(other.asciiBypass_),
      transparent_(other.transparent_) {}

EncodingConverter& EncodingConverter::operator=(EncodingConverter&& other) noexcept {
  if (this != &other) {
    ReleaseResources();
    from_ = std::move(other.from_);
    to_ = std::move(other.to_);
    descriptor_ = std::exchange(other.descriptor_, nullptr);
    fromUtf8_ = other.fromUtf8_;
    buffer_ = std::exchange(other.buffer_, nullptr);
    bufferSize_ = std::exchange(other.bufferSize_, 0);
    asciiBypass_ = other.asciiBypass_;
    transparent_ = other.transparent_;
  }
  return *this;
}

void EncodingConverter::ReleaseResources() noexcept {
  CommonAllocatorImpl::Deallocate(std::exchange(buffer_, nullptr), bufferSize_);
  bufferSize_ = 0;
  if (descriptor_ != nullptr) ::iconv_close(AsIconv(std::exchange(descriptor_, nullptr)));
}

Symbol EncodingConverter::UTF8() { return Symbol("UTF-8"); }

Symbol EncodingConverter::SystemDefault() {
  std::string language;
  dp::QmInfo::GetCurrentLanguage(&language);
  if (language == "ja") return Symbol("SJIS");
  if (language == "tc" || language == "zh_TW") return Symbol("Big5");
  if (language == "sc" || language == "zh_CN") return Symbol("gb2312");
  if (language == "ko") return Symbol("EUC-KR");
  if (language == "ru") return Symbol("KOI8-R");
  return Symbol("iso_8859-1");
}

void EncodingConverter::ReserveBuffer(std::size_t inputSize) {
  const std::size_t wanted =
      inputSize < (kMaxWorkBuffer - 100) / 4 ? 4 * inputSize + 100 : kMaxWorkBuffer;
  if (bufferSize_ >= wanted) return;
  CommonAllocatorImpl::Deallocate(std::exchange(buffer_, nullptr), bufferSize_);
  bufferSize_ = 0;
  const unsigned size = CommonAllocatorImpl::GetRoundedSize(static_cast<unsigned>(wanted));
  buffer_ = static_cast<char*>(CommonAllocatorImpl::Allocate(size, nullptr));
  bufferSize_ = size;
}

// Between two ASCII-based encodings (see kAsciiBasedEncodings), a byte below
// 0x80 that converts to itself on its own is copied as it is, saving iconv
// its per-character cost on the ASCII stretches of a text. The results are
// those of iconv alone: a copied run starts at a character boundary, and
// iconv is always handed whole characters, ending after a byte below 0x80.
bool EncodingConverter::UseAsciiBypass(std::size_t inputSize) {
  if (asciiBypass_ == AsciiBypass::kUnknown && inputSize >= kBypassMinInput) {
    asciiBypass_ = AsciiBypass::kOff;
    if (IsAsciiBased(from_) && IsAsciiBased(to_)) {
      ProbeTransparentBytes();
      asciiBypass_ = AsciiBypass::kOn;
    }
  }
  return asciiBypass_ == AsciiBypass::kOn;
}

void EncodingConverter::ProbeTransparentBytes() {
  char ascii[128];
  for (int b = 0; b < 128; ++b) ascii[b] = static_cast<char>(b);
  // Most pairs convert all of them to themselves; one call tells.
  char converted[sizeof ascii];
  char* in = ascii;
  std::size_t inLeft = sizeof ascii;
  char* out = converted;
  std::size_t outLeft = sizeof converted;
  ResetShiftState(descriptor_);
  if (::iconv(AsIconv(descriptor_), &in, &inLeft, &out, &outLeft) == 0 && outLeft == 0 &&
      std::equal(ascii, ascii + sizeof ascii, converted)) {
    std::fill(transparent_.begin(), transparent_.begin() + 128, true);
    return;
  }
  for (int b = 0; b < 128; ++b) {
    char one[4];
    in = ascii + b;
    inLeft = 1;
    out = one;
    outLeft = sizeof one;
    ResetShiftState(descriptor_);
    transparent_[b] = ::iconv(AsIconv(descriptor_), &in, &inLeft, &out, &outLeft) == 0 &&
                      out == one + 1 && one[0] == ascii[b];
  }
}

const char* EncodingConverter::TransparentRunEnd(const char* p, const char* end) const {
  while (p < end && transparent_[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

// `p` is at a character boundary. The stretch ends where the next run of
// kMinBypassRun transparent bytes begins; a run counts from a byte that
// follows one below 0x80, a boundary.
const char* EncodingConverter::IconvStretchEnd(const char* p, const char* end) const {
  std::size_t run = 0;
  for (const char* q = p + 1; q < end; ++q) {
    if (transparent_[static_cast<unsigned char>(*q)] && static_cast<unsigned char>(q[-1]) < 0x80) {
      if (++run == kMinBypassRun) return q + 1 - kMinBypassRun;
    } else {
      run = 0;
    }
  }
  return end;
}

bool EncodingConverter::Convert(const std::string& in, std::string& out, const char* replacement) {
  if (!IsGood()) return false;
  const bool tolerant = replacement != nullptr && fromUtf8_;
  if (tolerant && in.empty()) return false;
  ReserveBuffer(in.size());
  const bool bypass = UseAsciiBypass(in.size());
  ResetShiftState(descriptor_);

  std::string result;
  result.reserve(in.size());
  const char* p = in.data();
  const char* const end = p + in.size();
  while (p < end) {
    const char* stretchEnd = end;
    if (bypass) {
      const char* const runEnd = TransparentRunEnd(p, end);
      result.append(p, runEnd);
      p = runEnd;
      if (p == end) break;
      stretchEnd = IconvStretchEnd(p, end);
    }
    while (p < stretchEnd) {
      char* inPtr = const_cast<char*>(p);
      std::size_t inLeft = static_cast<std::size_t>(stretchEnd - p);
      char* outPtr = buffer_;
      std::size_t outLeft = bufferSize_;
      const std::size_t status = ::iconv(AsIconv(descriptor_), &inPtr, &inLeft, &outPtr, &outLeft);
      const int error = errno;
      result.append(buffer_, static_cast<std::size_t>(outPtr - buffer_));
      const bool progressed = inPtr != p || outPtr != buffer_;
      p = inPtr;
      if (status != static_cast<std::size_t>(-1) || (error == E2BIG && progressed)) continue;
      if (!tolerant || (error != EILSEQ && error != EINVAL)) {
        s_trace(dp::Warning, "Cannot convert from \"%s\" to \"%s\": %s at byte %lu\n",
                from_.c_str(), to_.c_str(), ErrorText(error),
                static_cast<unsigned long>(p - in.data()));
        return false;
      }
      // A lead byte may announce more bytes than remain: only those go.
      p += std::min(Utf8CharLength(*p), static_cast<std::size_t>(end - p));
      result += replacement;
    }
  }
  // A stateful target ends in its initial state.
  char* outPtr = buffer_;
  std::size_t outLeft = bufferSize_;
  ::iconv(AsIconv(descriptor_), nullptr, nullptr, &outPtr, &outLeft);
  result.append(buffer_, static_cast<std::size_t>(outPtr - buffer_));
  out = std::move(result);
  return true;
}

}  // namespace du
