#include "qmkutils/tracing/printfformatter.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "qmkutils/platform/badalloc.h"

namespace dp {
namespace {

// No double has more significant decimal digits than this in its exact
// value. Without '#', %g drops trailing zeros, so any larger precision gives
// the same text, while the C library would spend time and memory in
// proportion to the precision asked for.
constexpr unsigned kMaxDoubleSignificantDigits = 767;

char* NewHeapBuffer(unsigned bufferSize) {
  char* buffer = new (std::nothrow) char[std::size_t{bufferSize} + 1];
  if (buffer == nullptr) ThrowBadAlloc();
  return buffer;
}

bool IsFlag(char c) { return c == ' ' || c == '+' || c == '-' || c == '#' || c == '0'; }

// Reads a run of digits; the value saturates instead of overflowing.
unsigned ParseDigits(const char*& text) {
  unsigned value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    value = value > (UINT_MAX - digit) / 10 ? UINT_MAX : value * 10 + digit;
  }
  return value;
}

bool IsIntegerConversion(char c) {
  return c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X';
}

// C length modifiers: an unrecognised conversion is skipped through them to
// its conversion character, so that "%Lf" or "%hhd" leaves no stray letters.
bool IsLengthModifier(char c) {
  return c == 'h' || c == 'l' || c == 'L' || c == 'j' || c == 'z' || c == 't' || c == 'q';
}

unsigned Magnitude(int value) {
  return value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
}

template <typename T>
int FormatWithStars(char* out, std::size_t size, const char* directive, unsigned starCount,
                    const int* stars, T value) {
  switch (starCount) {
    case 0:
      return std::snprintf(out, size, directive, value);
    case 1:
      return std::snprintf(out, size, directive, stars[0], value);
    default:
      return std::snprintf(out, size, directive, stars[0], stars[1], value);
  }
}

}  // namespace

PrintfFormatter::PrintfFormatter(const char* format, unsigned bufferSize)
    : format_(format != nullptr ? format : ""),
      textBegin_(format_),
      textEnd_(format_),
      buffer_(bufferSize <= kInlineBufferSize ? inlineBuffer_ : NewHeapBuffer(bufferSize)),
      conversionEnd_(buffer_),
      argBegin_(buffer_),
      argEnd_(buffer_),
      bufferSize_(bufferSize),
      starCount_(0),
      starValues_{0, 0} {}

PrintfFormatter::~PrintfFormatter() {
  if (buffer_ != inlineBuffer_) delete[] buffer_;
}

PrintfFormatter::PrintfFormatter(const PrintfFormatter& other)
    : buffer_(other.bufferSize_ <= kInlineBufferSize ? inlineBuffer_
                                                     : NewHeapBuffer(other.bufferSize_)) {
  CopyStateFrom(other);
}

PrintfFormatter& PrintfFormatter::operator=(const PrintfFormatter& other) {
  if (this == &other) return *this;
  if (bufferSize_ != other.bufferSize_) {
    // Allocate before releasing, so that a failure leaves this one intact.
    char* target =
        other.bufferSize_ <= kInlineBufferSize ? inlineBuffer_ : NewHeapBuffer(other.bufferSize_);
    if (buffer_ != inlineBuffer_) delete[] buffer_;
    buffer_ = target;
  }
  CopyStateFrom(other);
  return *this;
}

void PrintfFormatter::CopyStateFrom(const PrintfFormatter& other) {
  format_ = other.format_;
  textBegin_ = other.textBegin_;
  textEnd_ = other.textEnd_;
  bufferSize_ = other.bufferSize_;
  starCount_ = other.starCount_;
  starValues_[0] = other.starValues_[0];
  starValues_[1] = other.starValues_[1];
  std::memcpy(buffer_, other.buffer_,
              std::max(other.conversionEnd_, other.argEnd_) - other.buffer_);
  conversionEnd_ = buffer_ + (other.conversionEnd_ - other.buffer_);
  argBegin_ = buffer_ + (other.argBegin_ - other.buffer_);
  argEnd_ = buffer_ + (other.argEnd_ - other.buffer_);
}

bool PrintfFormatter::SkipToNextFormat() {
  textEnd_ = strchrnul(textBegin_, '%');
  return *textEnd_ == '%';
}

bool PrintfFormatter::EndConversion(const char* conversion, unsigned length) {
  textEnd_ += length;
  textBegin_ = textEnd_;
  const auto conversionLength = static_cast<std::size_t>(textEnd_ - conversion);
  if (conversionLength + 2 > bufferSize_) return false;
  conversionEnd_ = std::copy(conversion, textEnd_, buffer_);
  return true;
}

void PrintfFormatter::TerminateConversion() {
  *conversionEnd_ = '\0';
  argBegin_ = argEnd_ = conversionEnd_ + 1;
}

void PrintfFormatter::LimitPrecision(const char* conversion, const char* digits, unsigned limit) {
  if (digits == nullptr) {
    starValues_[starCount_ - 1] = static_cast<int>(limit);
    return;
  }
  // A value above `limit` never has fewer digits, so the rewrite fits in place.
  char* const first = buffer_ + (digits - conversion);
  char* last = first;
  while (*last >= '0' && *last <= '9') ++last;
  char* const end = std::to_chars(first, last, limit).ptr;
  // The copied conversion's text ends earlier now, but its end stays where
  // the conversion as written put it, so the room the argument gets never
  // depends on this rewrite.
  std::fill(std::copy(last, conversionEnd_, end), conversionEnd_, '\0');
}

bool PrintfFormatter::Reject() {
  while (IsLengthModifier(*textEnd_)) ++textEnd_;
  if (*textEnd_ != '\0') ++textEnd_;
  textBegin_ = textEnd_;
  return false;
}

template <typename T>
bool PrintfFormatter::FormatArgument(T value, unsigned minimumLength) {
  TerminateConversion();
  const unsigned room = bufferSize_ - static_cast<unsigned>(argBegin_ - buffer_);
  // A width or precision beyond the room could only give a text that is
  // dropped anyway; skipping the call keeps hostile values from costing
  // gigabytes of output or memory inside the C library.
  if (minimumLength <= room) {
    const int length =
        FormatWithStars(argBegin_, std::size_t{room} + 1, buffer_, starCount_, starValues_, value);
    if (length >= 0 && static_cast<unsigned>(length) <= room) argEnd_ = argBegin_ + length;
  }
  return true;
}

template <typename T>
bool PrintfFormatter::FormatConversion(const char* conversion, unsigned length, T value,
                                       unsigned minimumLength) {
  return EndConversion(conversion, length) && FormatArgument(value, minimumLength);
}

// The whole conversion is parsed, and its arguments taken, before anything is
// copied: a conversion too long for the buffer still leaves the argument list
// where the next conversion expects it. Each argument is read into a value
// before EndConversion can fail.
bool PrintfFormatter::ProcessFormatSequence(PrintfArgs& args) {
  conversionEnd_ = argBegin_ = argEnd_ = buffer_;
  starCount_ = 0;
  const char* const conversion = textEnd_;
  if (*textEnd_ != '%') {
    textBegin_ = textEnd_;
    return false;
  }
  ++textEnd_;

  bool alternate = false;
  for (; IsFlag(*textEnd_); ++textEnd_) alternate = alternate || *textEnd_ == '#';

  unsigned width = 0;
  if (*textEnd_ == '*') {
    ++textEnd_;
    starValues_[starCount_] = va_arg(args.list, int);
    width = Magnitude(starValues_[starCount_++]);
  } else {
    width = ParseDigits(textEnd_);
  }

  bool hasPrecision = false;
  unsigned precision = 0;
  const char* precisionDigits = nullptr;
  if (*textEnd_ == '.') {
    ++textEnd_;
    if (*textEnd_ == '*') {
      ++textEnd_;
      const int value = va_arg(args.list, int);
      starValues_[starCount_++] = value;
      hasPrecision = value >= 0;
      precision = hasPrecision ? static_cast<unsigned>(value) : 0;
    } else {
      hasPrecision = true;
      precisionDigits = textEnd_;
      precision = ParseDigits(textEnd_);
    }
  }
  // No text is shorter than its width. Integer, finite e, E, f, F and #g, and
  // non-null pointer texts are not shorter than their precision either; other
  // texts do not depend on it. The C library refuses a precision beyond
  // INT_MAX, so such a conversion gives no text at all.
  const unsigned minimumLength = precision > INT_MAX ? UINT_MAX : width;
  const unsigned minimumWithPrecision = std::max(minimumLength, precision);

  switch (*textEnd_) {
    case '%':
      if (textEnd_ != conversion + 1) return Reject();
      if (!EndConversion(conversion, 1)) return false;
      TerminateConversion();
      *argEnd_++ = '%';
      return true;
    case 'c':
      return FormatConversion(conversion, 1, va_arg(args.list, int), minimumLength);
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      return FormatConversion(conversion, 1, va_arg(args.list, int), minimumWithPrecision);
    case 'h':
      if (!IsIntegerConversion(textEnd_[1])) return Reject();
      return FormatConversion(conversion, 2, va_arg(args.list, int), minimumWithPrecision);
    case 'l':
      if (textEnd_[1] == 'l') {
        if (!IsIntegerConversion(textEnd_[2])) return Reject();
        return FormatConversion(conversion, 3, va_arg(args.list, long long), minimumWithPrecision);
      }
      if (!IsIntegerConversion(textEnd_[1])) return Reject();
      return FormatConversion(conversion, 2, va_arg(args.list, long), minimumWithPrecision);
    case 'e':
    case 'E':
    case 'f':
    case 'F': {
      const double value = va_arg(args.list, double);
      return FormatConversion(conversion, 1, value,
                              std::isfinite(value) ? minimumWithPrecision : minimumLength);
    }
    case 'g':
    case 'G': {
      const double value = va_arg(args.list, double);
      if (alternate) {
        return FormatConversion(conversion, 1, value,
                                std::isfinite(value) ? minimumWithPrecision : minimumLength);
      }
      if (!EndConversion(conversion, 1)) return false;
      if (hasPrecision && precision > kMaxDoubleSignificantDigits) {
        LimitPrecision(conversion, precisionDigits, kMaxDoubleSignificantDigits);
      }
      return FormatArgument(value, minimumLength);
    }
    case 's': {
      const char* const text = va_arg(args.list, const char*);
      return FormatConversion(conversion, 1, text != nullptr ? text : "(null)", minimumLength);
    }
    case 'p': {
      void* const value = va_arg(args.list, void*);
      return FormatConversion(conversion, 1, value,
                              value != nullptr ? minimumWithPrecision : minimumLength);
    }
    default:
      return Reject();
  }
}

}  // namespace dp
