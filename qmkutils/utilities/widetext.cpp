#include "qmkutils/utilities/widetext.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "qmkutils/platform/badalloc.h"

namespace du {
namespace {

// Bytes one unit takes, and an upper bound of the bytes a text takes.
constexpr std::size_t kMaxBytesPerUnit = 3;

std::size_t EncodeUnits(const wchar_t* units, std::size_t count, char* out) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto unit = static_cast<std::uint32_t>(units[i]) & 0xFFFF;
    if (unit < 0x80) {
      out[written++] = static_cast<char>(unit);
    } else if (unit < 0x800) {
      out[written++] = static_cast<char>(0xC0 | ((unit >> 6) & 0x1F));
      out[written++] = static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out[written++] = static_cast<char>(0xE0 | ((unit >> 12) & 0x0F));
      out[written++] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out[written++] = static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  out[written] = '\0';
  return written;
}

// Never produces more units than it reads bytes.
std::size_t DecodeBytes(const char* bytes, std::size_t count, wchar_t* out) {
  const auto byteAt = [&](std::size_t i) -> std::uint32_t {
    return i < count ? static_cast<unsigned char>(bytes[i]) : 0;
  };
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < count) {
    const std::uint32_t lead = byteAt(i);
    std::uint32_t unit = 0;
    std::size_t length = 1;
    if (lead < 0x80) {
      unit = lead;
    } else if ((lead & 0x20) != 0) {
      unit = ((lead & 0x0F) << 12) | ((byteAt(i + 1) & 0x3F) << 6) | (byteAt(i + 2) & 0x3F);
      length = 3;
    } else {
      unit = ((lead & 0x1F) << 6) | (byteAt(i + 1) & 0x3F);
      length = 2;
    }
    out[written++] = static_cast<wchar_t>(unit);
    i += length;  // past `count` when the sequence was cut short: the text ends
  }
  out[written] = L'\0';
  return written;
}

void* AllocateOrThrow(std::size_t bytes) {
  void* memory = std::malloc(bytes);
  if (memory == nullptr) dp::ThrowBadAlloc();
  return memory;
}

void Report(std::size_t produced, int* length) {
  if (length != nullptr) *length = static_cast<int>(produced);
}

// The per-thread rings of result buffers, one per direction. A buffer
// holding fewer than `needed` elements grows to `needed` + 16, so a run of
// slightly longer texts does not reallocate each time.
constexpr int kRingSize = 10;

template <class Char>
class ResultRing {
 public:
  ResultRing() = default;
  ResultRing(const ResultRing&) = delete;
  ResultRing& operator=(const ResultRing&) = delete;
  ~ResultRing() {
    for (Char* buffer : buffers_) std::free(buffer);
  }

  Char* Take(std::size_t needed) {
    const int slot = next_;
    next_ = (next_ + 1) % kRingSize;
    if (capacities_[slot] < needed) {
      const std::size_t capacity = needed + 16;
      void* grown = std::realloc(buffers_[slot], capacity * sizeof(Char));
      if (grown == nullptr) dp::ThrowBadAlloc();
      buffers_[slot] = static_cast<Char*>(grown);
      capacities_[slot] = capacity;
    }
    return buffers_[slot];
  }

 private:
  Char* buffers_[kRingSize] = {};
  std::size_t capacities_[kRingSize] = {};
  int next_ = 0;
};

thread_local ResultRing<wchar_t> t_wideRing;
thread_local ResultRing<char> t_byteRing;

wchar_t* DecodeIntoRing(const char* bytes, std::size_t count, int* length) {
  wchar_t* out = t_wideRing.Take(count + 1);  // at most one unit per byte
  Report(DecodeBytes(bytes, count, out), length);
  return out;
}

wchar_t* DecodeIntoFresh(const char* bytes, std::size_t count, int* length) {
  auto* out = static_cast<wchar_t*>(AllocateOrThrow((count + 1) * sizeof(wchar_t)));
  Report(DecodeBytes(bytes, count, out), length);
  return out;
}

std::wstring DecodeToString(const char* bytes, std::size_t count) {
  std::wstring out(count, L'\0');
  out.resize(DecodeBytes(bytes, count, out.data()));
  return out;
}

std::string EncodeToString(const wchar_t* units, std::size_t count) {
  std::string out(kMaxBytesPerUnit * count, '\0');
  out.resize(EncodeUnits(units, count, out.data()));
  return out;
}

// The user's default locale, or the classic one when the environment names
// a locale the C library does not have.
std::locale UserDefaultLocale() {
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}

template <class T>
bool ReadsInFull(const wchar_t* text) {
  std::wistringstream stream{std::wstring(text)};
  stream.imbue(UserDefaultLocale());
  T value{};
  stream >> value;
  return !stream.fail() && stream.eof();
}

}  // namespace

char* WideToUtf8Buffered(const wchar_t* text, int* length) {
  if (text == nullptr) return nullptr;
  const std::size_t units = std::wcslen(text);
  char* out = t_byteRing.Take(kMaxBytesPerUnit * units + 1);
  Report(EncodeUnits(text, units, out), length);
  return out;
}

char* WideToUtf8(const wchar_t* text, int* length) {
  if (text == nullptr) return nullptr;
  const std::size_t units = std::wcslen(text);
  auto* out = static_cast<char*>(AllocateOrThrow(kMaxBytesPerUnit * units + 1));
  Report(EncodeUnits(text, units, out), length);
  return out;
}

wchar_t* Utf8ToWideBuffered(const char* text, int* length) {
  if (text == nullptr) return nullptr;
  return DecodeIntoRing(text, std::strlen(text), length);
}

wchar_t* Utf8ToWideBuffered(const du::Symbol& text, int* length) {
  return DecodeIntoRing(text.safe_c_str(), text.length(), length);
}

wchar_t* Utf8ToWideBuffered(const std::string& text, int* length) {
  return DecodeIntoRing(text.data(), text.size(), length);
}

wchar_t* Utf8ToWide(const char* text, int* length) {
  if (text == nullptr) return nullptr;
  return DecodeIntoFresh(text, std::strlen(text), length);
}

wchar_t* Utf8ToWide(const du::Symbol& text, int* length) {
  return DecodeIntoFresh(text.safe_c_str(), text.length(), length);
}

wchar_t* Utf8ToWide(const std::string& text, int* length) {
  return DecodeIntoFresh(text.data(), text.size(), length);
}

std::wstring Utf8ToWideStr(const std::string& text) {
  return DecodeToString(text.data(), text.size());
}

std::wstring Utf8ToWideStr(const du::Symbol& text) {
  return DecodeToString(text.safe_c_str(), text.length());
}

std::wstring Utf8ToWideStr(const char* text) {
  return text == nullptr ? std::wstring() : DecodeToString(text, std::strlen(text));
}

std::wstring Utf8ToWideStr(const std::string& text, unsigned offset, unsigned count) {
  if (offset >= text.size()) return {};
  return DecodeToString(text.data() + offset, std::min<std::size_t>(count, text.size() - offset));
}

std::string WideStrToUtf8(const std::wstring& text) {
  return EncodeToString(text.data(), text.size());
}

std::string WideStrToUtf8(const wchar_t* text) {
  return text == nullptr ? std::string() : EncodeToString(text, std::wcslen(text));
}

bool IsMultiByteStr(const char* text) {
  if (text == nullptr) return false;
  for (; *text != '\0'; ++text) {
    if ((static_cast<unsigned char>(*text) & 0x80) != 0) return true;
  }
  return false;
}

bool IsMultiByteStr(const std::string& text) {
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0x80) != 0) return true;
  }
  return false;
}

bool IsValidType(const wchar_t* text, DataType type) {
  if (text == nullptr) return false;
  switch (type) {
    case kIntegerType:
      return ReadsInFull<int>(text);
    case kRealType:
      return ReadsInFull<double>(text);
    case kTextType:
      return true;
  }
  return false;
}

}  // namespace du
