#include "qmkutils/tracing/printfformatter.h"

#include <algorithm>
#include <charconv>
#include <climits>
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
      specEnd_(buffer_),
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
  std::memcpy(buffer_, other.buffer_, std::max(other.specEnd_, other.argEnd_) - other.buffer_);
  specEnd_ = buffer_ + (other.specEnd_ - other.buffer_);
  argBegin_ = buffer_ + (other.argBegin_ - other.buffer_);
  argEnd_ = buffer_ + (other.argEnd_ - other.buffer_);
}

bool PrintfFormatter::SkipToNextFormat() {
  textEnd_ = strchrnul(textBegin_, '%');
  return *textEnd_ == '%';
}

// Callers step past a character before copying it, so a failure resumes the
// literal text after it and the walk always makes progress.
bool PrintfFormatter::CopyFormatSpecChar(char c) {
  if (specEnd_ == buffer_ + bufferSize_) {
    textBegin_ = textEnd_;
    return false;
  }
  *specEnd_++ = c;
  return true;
}

bool PrintfFormatter::CopyFormatSpecDigits(unsigned& value) {
  value = 0;
  while (*textEnd_ >= '0' && *textEnd_ <= '9') {
    const unsigned digit = static_cast<unsigned>(*textEnd_ - '0');
    value = value > (UINT_MAX - digit) / 10 ? UINT_MAX : value * 10 + digit;
    if (!CopyFormatSpecChar(*textEnd_++)) return false;
  }
  return true;
}

bool PrintfFormatter::CopyConversion(unsigned length) {
  for (unsigned i = 0; i < length; ++i) {
    if (!CopyFormatSpecChar(*textEnd_++)) return false;
  }
  return true;
}

// Needs the terminator and at least one byte of output after it.
bool PrintfFormatter::FinalizeFormatSpec() {
  if (bufferSize_ - static_cast<unsigned>(specEnd_ - buffer_) < 2) {
    textBegin_ = textEnd_;
    return false;
  }
  *specEnd_ = '\0';
  argBegin_ = argEnd_ = specEnd_ + 1;
  return true;
}

bool PrintfFormatter::Reject() {
  while (IsLengthModifier(*textEnd_)) ++textEnd_;
  if (*textEnd_ != '\0') ++textEnd_;
  textBegin_ = textEnd_;
  return false;
}

template <typename T>
bool PrintfFormatter::FormatArgument(T value, unsigned minimumLength) {
  if (!FinalizeFormatSpec()) return false;
  const unsigned room = bufferSize_ - static_cast<unsigned>(argBegin_ - buffer_);
  // A width or precision beyond the room could only give a text that is
  // dropped anyway; skipping the call keeps hostile values from costing
  // gigabytes of output or memory inside the C library.
  if (minimumLength <= room) {
    const int length =
        FormatWithStars(argBegin_, std::size_t{room} + 1, buffer_, starCount_, starValues_, value);
    if (length >= 0 && static_cast<unsigned>(length) <= room) argEnd_ = argBegin_ + length;
  }
  textBegin_ = textEnd_;
  return true;
}

bool PrintfFormatter::ProcessFormatSequence(PrintfArgs& args) {
  specEnd_ = argBegin_ = argEnd_ = buffer_;
  starCount_ = 0;
  if (*textEnd_ != '%') {
    textBegin_ = textEnd_;
    return false;
  }
  if (!CopyFormatSpecChar(*textEnd_++)) return false;

  bool alternate = false;
  for (char c = *textEnd_; c == ' ' || c == '+' || c == '-' || c == '#' || c == '0';
       c = *textEnd_) {
    alternate = alternate || c == '#';
    if (!CopyFormatSpecChar(*textEnd_++)) return false;
  }

  unsigned width = 0;
  if (*textEnd_ == '*') {
    if (!CopyFormatSpecChar(*textEnd_++)) return false;
    starValues_[starCount_] = va_arg(args.list, int);
    width = Magnitude(starValues_[starCount_++]);
  } else if (!CopyFormatSpecDigits(width)) {
    return false;
  }

  bool hasPrecision = false;
  unsigned precision = 0;
  char* precisionDigits = nullptr;
  if (*textEnd_ == '.') {
    if (!CopyFormatSpecChar(*textEnd_++)) return false;
    if (*textEnd_ == '*') {
      if (!CopyFormatSpecChar(*textEnd_++)) return false;
      const int value = va_arg(args.list, int);
      starValues_[starCount_++] = value;
      hasPrecision = value >= 0;
      precision = hasPrecision ? static_cast<unsigned>(value) : 0;
    } else {
      hasPrecision = true;
      precisionDigits = specEnd_;
      if (!CopyFormatSpecDigits(precision)) return false;
    }
  }
  // Integer, fixed, exponent and pointer texts are never shorter than their
  // precision.
  const unsigned widthOrPrecision = std::max(width, precision);

  switch (*textEnd_) {
    case '%':
      if (specEnd_ != buffer_ + 1) return Reject();
      if (!CopyConversion(1) || !FinalizeFormatSpec()) return false;
      *argEnd_++ = '%';
      textBegin_ = textEnd_;
      return true;
    case 'c':
      return CopyConversion(1) && FormatArgument(va_arg(args.list, int), width);
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      return CopyConversion(1) && FormatArgument(va_arg(args.list, int), widthOrPrecision);
    case 'h':
      if (!IsIntegerConversion(textEnd_[1])) return Reject();
      return CopyConversion(2) && FormatArgument(va_arg(args.list, int), widthOrPrecision);
    case 'l':
      if (textEnd_[1] == 'l') {
        if (!IsIntegerConversion(textEnd_[2])) return Reject();
        return CopyConversion(3) && FormatArgument(va_arg(args.list, long long), widthOrPrecision);
      }
      if (!IsIntegerConversion(textEnd_[1])) return Reject();
      return CopyConversion(2) && FormatArgument(va_arg(args.list, long), widthOrPrecision);
    case 'e':
    case 'E':
    case 'f':
    case 'F':
      return CopyConversion(1) && FormatArgument(va_arg(args.list, double), widthOrPrecision);
    case 'g':
    case 'G':
      if (alternate) {
        return CopyConversion(1) && FormatArgument(va_arg(args.list, double), widthOrPrecision);
      }
      if (hasPrecision && precision > kMaxDoubleSignificantDigits) {
        // The digits being longer than the replacement, it fits in place.
        if (precisionDigits != nullptr) {
          specEnd_ = std::to_chars(precisionDigits, specEnd_, kMaxDoubleSignificantDigits).ptr;
        } else {
          starValues_[starCount_ - 1] = static_cast<int>(kMaxDoubleSignificantDigits);
        }
      }
      return CopyConversion(1) && FormatArgument(va_arg(args.list, double), width);
    case 's': {
      if (!CopyConversion(1)) return false;
      const char* text = va_arg(args.list, const char*);
      return FormatArgument(text != nullptr ? text : "(null)", width);
    }
    case 'p':
      return CopyConversion(1) && FormatArgument(va_arg(args.list, void*), widthOrPrecision);
    default:
      return Reject();
  }
}

}  // namespace dp
