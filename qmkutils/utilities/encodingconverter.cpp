#include "qmkutils/utilities/encodingconverter.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/utilities/internal/charactertable.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "EncodingConverter");

// The work buffer holds 4 bytes per input byte and 100 more, up to this
// size; longer outputs are produced a buffer at a time.
constexpr std::size_t kMaxWorkBuffer = std::size_t{64} * 1024;

// Texts shorter than this are converted by iconv calls alone until the
// converter has a character table: learning a character costs an iconv call.
constexpr std::size_t kTableMinInput = 256;

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
      table_(std::move(other.table_)) {}

EncodingConverter& EncodingConverter::operator=(EncodingConverter&& other) noexcept {
  if (this != &other) {
    ReleaseResources();
    from_ = std::move(other.from_);
    to_ = std::move(other.to_);
    descriptor_ = std::exchange(other.descriptor_, nullptr);
    fromUtf8_ = other.fromUtf8_;
    buffer_ = std::exchange(other.buffer_, nullptr);
    bufferSize_ = std::exchange(other.bufferSize_, 0);
    table_ = std::move(other.table_);
  }
  return *this;
}

void EncodingConverter::ReleaseResources() noexcept {
  table_.reset();
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

encoding_internal::CharacterTable* EncodingConverter::TableFor(std::size_t inputSize) {
  if (table_ == nullptr && inputSize >= kTableMinInput &&
      encoding_internal::CharacterTable::Covers(from_, to_)) {
    table_ = std::make_unique<encoding_internal::CharacterTable>(descriptor_);
  }
  return table_.get();
}

bool EncodingConverter::Convert(const std::string& in, std::string& out, const char* replacement) {
  using encoding_internal::CharacterTable;
  if (!IsGood()) return false;
  const bool tolerant = replacement != nullptr && fromUtf8_;
  if (tolerant && in.empty()) return false;
  ReserveBuffer(in.size());
  CharacterTable* const table = TableFor(in.size());
  ResetShiftState(descriptor_);

  std::string result;
  result.reserve(in.size());
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const auto* const end = p + in.size();
  const auto fail = [&](int error) {
    s_trace(dp::Warning, "Cannot convert from \"%s\" to \"%s\": %s at byte %llu\n", from_.c_str(),
            to_.c_str(), ErrorText(error),
            static_cast<unsigned long long>(p - reinterpret_cast<const unsigned char*>(in.data())));
    return false;
  };
  // A lead byte may announce more bytes than remain: only those go.
  const auto skip = [&] {
    p += std::min(Utf8CharLength(static_cast<char>(*p)), static_cast<std::size_t>(end - p));
    result += replacement;
  };
  while (p < end) {
    uint32_t entry = CharacterTable::kIconv;
    if (table != nullptr) {
      char* o = buffer_;
      table->ConvertKnown(p, end, o, buffer_ + bufferSize_);
      result.append(buffer_, static_cast<std::size_t>(o - buffer_));
      if (p == end) break;
      std::size_t length;
      entry = table->Lookup(p, end, length);
      if (CharacterTable::IsOutput(entry)) continue;  // the buffer was full
    }
    if (entry == CharacterTable::kInvalid) {
      if (!tolerant) return fail(EILSEQ);
      skip();
      continue;
    }
    // iconv converts the rest, or with a table just this character (UTF-8's
    // end where their lead byte says).
    const unsigned char* const stretchEnd =
        table == nullptr || !fromUtf8_ ? end
                                       : p + std::min(Utf8CharLength(static_cast<char>(*p)),
                                                      static_cast<std::size_t>(end - p));
    while (p < stretchEnd) {
      char* inPtr = reinterpret_cast<char*>(const_cast<unsigned char*>(p));
      std::size_t inLeft = static_cast<std::size_t>(stretchEnd - p);
      char* outPtr = buffer_;
      std::size_t outLeft = bufferSize_;
      const std::size_t status = ::iconv(AsIconv(descriptor_), &inPtr, &inLeft, &outPtr, &outLeft);
      const int error = errno;
      result.append(buffer_, static_cast<std::size_t>(outPtr - buffer_));
      const bool progressed =
          reinterpret_cast<const unsigned char*>(inPtr) != p || outPtr != buffer_;
      p = reinterpret_cast<const unsigned char*>(inPtr);
      if (status != static_cast<std::size_t>(-1) || (error == E2BIG && progressed)) continue;
      if (!tolerant || (error != EILSEQ && error != EINVAL)) return fail(error);
      skip();
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
