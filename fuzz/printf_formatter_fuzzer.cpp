// Differential fuzzer of dp::PrintfFormatter against the C library's snprintf.
//
// Input: two bytes of work-buffer size (little-endian, modulo
// kMaxBufferSize + 1), the format up to the first NUL, then the bytes that the
// arguments are made of. The format is walked as dp::TraceFormatter::Format
// walks it. The harness parses each conversion itself, after the grammar of
// qmkutils/tracing/printfformatter.h, to hand over arguments of the right
// types, followed by sentinels; it then requires that the formatter took
// exactly those arguments, resumed the literal text after an accepted
// conversion, and gave snprintf's text, or one of its documented refusals: an
// unrecognised conversion, a conversion text too long for the buffer, or a
// dropped argument text.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qmkutils/tracing/printfformatter.h"

namespace {

constexpr unsigned kMaxBufferSize = 1100;
// Beyond this a digit value is only compared, never passed on.
constexpr std::uint64_t kSaturation = std::uint64_t{1} << 40;
// %g without '#' drops trailing zeros, and no double has more significant
// digits than this in its exact value: any larger precision gives the same
// text.
constexpr int kEnoughSignificantDigits = 1000;
constexpr int kIntSentinels[2] = {0x5eed0001, 0x5eed0002};
constexpr double kDoubleSentinels[2] = {-1234.5, -6789.25};

enum class Kind { kUnknown, kPercent, kInt, kLong, kLongLong, kDouble, kString, kPointer };

// One conversion as the documented grammar reads it.
struct Conversion {
  Kind kind = Kind::kUnknown;
  std::size_t length = 0;  // from '%' through the conversion character
  char letter = '\0';
  bool alternate = false;
  bool widthIsStar = false;
  bool precisionIsStar = false;
  bool hasPrecisionDigits = false;
  std::uint64_t width = 0;  // digits, saturated
  std::uint64_t precision = 0;
  std::string referenceSpec;  // width and precision always as '*'
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsIntegerLetter(char c) {
  return c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X';
}

std::uint64_t ReadDigits(const char*& p) {
  std::uint64_t value = 0;
  for (; IsDigit(*p); ++p) {
    value = std::min(kSaturation, value * 10 + static_cast<std::uint64_t>(*p - '0'));
  }
  return value;
}

Conversion Parse(const char* start) {
  Conversion conversion;
  std::string flags;
  const char* p = start + 1;
  for (; *p == ' ' || *p == '+' || *p == '-' || *p == '#' || *p == '0'; ++p) {
    flags += *p;
    conversion.alternate = conversion.alternate || *p == '#';
  }
  if (*p == '*') {
    conversion.widthIsStar = true;
    ++p;
  } else {
    conversion.width = ReadDigits(p);
  }
  bool hasPrecision = false;
  if (*p == '.') {
    hasPrecision = true;
    ++p;
    if (*p == '*') {
      conversion.precisionIsStar = true;
      ++p;
    } else {
      conversion.hasPrecisionDigits = true;
      conversion.precision = ReadDigits(p);
    }
  }
  std::string modifier;
  Kind kind = Kind::kUnknown;
  switch (*p) {
    case '%':
      if (p == start + 1) kind = Kind::kPercent;
      break;
    case 'c':
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      kind = Kind::kInt;
      break;
    case 'h':
      if (IsIntegerLetter(p[1])) {
        kind = Kind::kInt;
        modifier = *p++;
      }
      break;
    case 'l':
      if (p[1] == 'l' && IsIntegerLetter(p[2])) {
        kind = Kind::kLongLong;
        modifier = "ll";
        p += 2;
      } else if (IsIntegerLetter(p[1])) {
        kind = Kind::kLong;
        modifier = *p++;
      }
      break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
      kind = Kind::kDouble;
      break;
    case 's':
      kind = Kind::kString;
      break;
    case 'p':
      kind = Kind::kPointer;
      break;
    default:
      break;
  }
  conversion.kind = kind;
  if (kind != Kind::kUnknown) {
    conversion.letter = *p;
    conversion.length = static_cast<std::size_t>(p + 1 - start);
    conversion.referenceSpec = "%" + flags + "*" + (hasPrecision ? ".*" : "") + modifier + *p;
  }
  return conversion;
}

// Argument bytes; zeros once they run out.
class ArgumentBytes {
 public:
  ArgumentBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }

  template <typename T>
  T Raw() {
    std::uint8_t bytes[sizeof(T)];
    for (std::uint8_t& byte : bytes) byte = Byte();
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }

  // Mostly small values, so that widths and precisions often fit.
  int Star() {
    const std::uint8_t selector = Byte();
    return (selector & 0x80) != 0 ? Raw<int>() : static_cast<int>(selector) - 16;
  }

  // Up to 254 bytes, cut at a NUL; 255 gives a null pointer.
  const char* String(std::string& storage) {
    const std::uint8_t length = Byte();
    if (length == 0xFF) return nullptr;
    storage.clear();
    for (unsigned i = 0; i < length; ++i) storage += static_cast<char>(Byte());
    return storage.c_str();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// The values of one conversion, of the types its kind takes.
struct Values {
  int stars[2] = {0, 0};
  int intValue = 0;
  long longValue = 0;
  long long longLongValue = 0;
  double doubleValue = 0;
  const char* stringValue = nullptr;
  void* pointerValue = nullptr;
  std::string storage;
};

[[noreturn]] void Fail(const char* what, const std::string& format, std::size_t offset) {
  std::fprintf(stderr, "printf_formatter: %s, at offset %zu of the format\n", what, offset);
  std::fprintf(stderr, "format: %s\n", format.c_str());
  std::abort();
}

bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The sentinels after a conversion's own arguments show how many it took.
bool ProcessVa(dp::PrintfFormatter* formatter, bool* tookItsArguments, ...) {
  dp::PrintfArgs args;
  va_start(args.list, tookItsArguments);
  const bool understood = formatter->ProcessFormatSequence(args);
  const int intSentinel = va_arg(args.list, int);
  const double doubleSentinel = va_arg(args.list, double);
  va_end(args.list);
  *tookItsArguments =
      intSentinel == kIntSentinels[0] && SameDouble(doubleSentinel, kDoubleSentinels[0]);
  return understood;
}

template <typename... Args>
bool Process(dp::PrintfFormatter& formatter, bool& tookItsArguments, Args... args) {
  return ProcessVa(&formatter, &tookItsArguments, args..., kIntSentinels[0], kDoubleSentinels[0],
                   kIntSentinels[1], kDoubleSentinels[1]);
}

template <typename... Stars>
bool ProcessWithStars(dp::PrintfFormatter& formatter, bool& tookItsArguments, Kind kind,
                      const Values& values, Stars... stars) {
  switch (kind) {
    case Kind::kInt:
      return Process(formatter, tookItsArguments, stars..., values.intValue);
    case Kind::kLong:
      return Process(formatter, tookItsArguments, stars..., values.longValue);
    case Kind::kLongLong:
      return Process(formatter, tookItsArguments, stars..., values.longLongValue);
    case Kind::kDouble:
      return Process(formatter, tookItsArguments, stars..., values.doubleValue);
    case Kind::kString:
      return Process(formatter, tookItsArguments, stars..., values.stringValue);
    case Kind::kPointer:
      return Process(formatter, tookItsArguments, stars..., values.pointerValue);
    case Kind::kUnknown:
    case Kind::kPercent:
      break;
  }
  return Process(formatter, tookItsArguments, stars...);
}

template <typename T>
std::string CallSnprintf(const std::string& conversionText, bool withPrecision, int width,
                         int precision, T value, bool& failed) {
  auto call = [&](char* out, std::size_t size) {
    return withPrecision ? std::snprintf(out, size, conversionText.c_str(), width, precision, value)
                         : std::snprintf(out, size, conversionText.c_str(), width, value);
  };
  const int length = call(nullptr, 0);
  failed = length < 0;
  if (failed) return {};
  std::vector<char> out(static_cast<std::size_t>(length) + 1);
  call(out.data(), out.size());
  return std::string(out.data(), static_cast<std::size_t>(length));
}

enum class Expectation { kText, kEmpty };

// What snprintf writes for an accepted conversion, or kEmpty when its text
// is certainly longer than `room`, or when the C library refuses it.
Expectation Reference(const Conversion& conversion, const Values& values, std::uint64_t room,
                      std::string& text) {
  if (conversion.kind == Kind::kPercent) {
    text = "%";
    return Expectation::kText;
  }
  const int* star = values.stars;
  std::int64_t width = 0;
  if (conversion.widthIsStar) {
    width = *star++;
  } else {
    width = static_cast<std::int64_t>(conversion.width);
  }
  const bool withPrecision = conversion.precisionIsStar || conversion.hasPrecisionDigits;
  std::int64_t precision = -1;
  if (conversion.precisionIsStar) {
    precision = *star;
  } else if (conversion.hasPrecisionDigits) {
    precision = static_cast<std::int64_t>(conversion.precision);
  }
  // No text is shorter than its width.
  if (static_cast<std::uint64_t>(width < 0 ? -width : width) > room) return Expectation::kEmpty;
  if (precision > INT32_MAX) return Expectation::kEmpty;  // refused by the C library

  // Texts that the C standard makes at least as long as their precision.
  const char letter = conversion.letter;
  const bool finite = std::isfinite(values.doubleValue);
  bool boundedByPrecision = false;
  switch (conversion.kind) {
    case Kind::kInt:
    case Kind::kLong:
    case Kind::kLongLong:
      boundedByPrecision = letter != 'c';
      break;
    case Kind::kDouble:
      boundedByPrecision = finite && (conversion.alternate || (letter != 'g' && letter != 'G'));
      break;
    case Kind::kPointer:
      boundedByPrecision = values.pointerValue != nullptr;
      break;
    default:
      break;
  }
  if (boundedByPrecision && precision > static_cast<std::int64_t>(room)) {
    return Expectation::kEmpty;
  }
  if (conversion.kind == Kind::kDouble && finite && !conversion.alternate &&
      (letter == 'g' || letter == 'G') && precision > kEnoughSignificantDigits) {
    precision = kEnoughSignificantDigits;
  }

  const std::string& conversionText = conversion.referenceSpec;
  const int w = static_cast<int>(width);
  const int p = static_cast<int>(precision);
  bool failed = false;
  switch (conversion.kind) {
    case Kind::kInt:
      text = CallSnprintf(conversionText, withPrecision, w, p, values.intValue, failed);
      break;
    case Kind::kLong:
      text = CallSnprintf(conversionText, withPrecision, w, p, values.longValue, failed);
      break;
    case Kind::kLongLong:
      text = CallSnprintf(conversionText, withPrecision, w, p, values.longLongValue, failed);
      break;
    case Kind::kDouble:
      text = CallSnprintf(conversionText, withPrecision, w, p, values.doubleValue, failed);
      break;
    case Kind::kString:
      text = CallSnprintf(conversionText, withPrecision, w, p,
                          values.stringValue != nullptr ? values.stringValue : "(null)", failed);
      break;
    case Kind::kPointer:
      text = CallSnprintf(conversionText, withPrecision, w, p, values.pointerValue, failed);
      break;
    default:
      break;
  }
  return failed ? Expectation::kEmpty : Expectation::kText;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned bufferSize = (data[0] | (unsigned{data[1]} << 8)) % (kMaxBufferSize + 1);
  const auto* formatBegin = reinterpret_cast<const char*>(data + 2);
  const std::size_t formatLength = strnlen(formatBegin, size - 2);
  const std::string format(formatBegin, formatLength);
  const std::size_t argumentsOffset = std::min(size, 2 + formatLength + 1);
  ArgumentBytes bytes(data + argumentsOffset, size - argumentsOffset);

  const char* const begin = format.c_str();
  const char* const end = begin + format.size();
  dp::PrintfFormatter formatter(begin, bufferSize);
  // Every range handed out is copied, as the trace formatter copies it, so
  // that AddressSanitizer checks it.
  std::string out;
  while (formatter.SkipToNextFormat()) {
    const char* const start = formatter.TextEnd();
    const std::size_t offset = static_cast<std::size_t>(start - begin);
    out.append(formatter.TextBegin(), formatter.TextEnd());

    const Conversion conversion = Parse(start);
    Values values;
    const int starCount = int{conversion.widthIsStar} + int{conversion.precisionIsStar};
    for (int i = 0; i < starCount; ++i) values.stars[i] = bytes.Star();
    switch (conversion.kind) {
      case Kind::kInt:
        values.intValue = bytes.Raw<int>();
        break;
      case Kind::kLong:
        values.longValue = bytes.Raw<long>();
        break;
      case Kind::kLongLong:
        values.longLongValue = bytes.Raw<long long>();
        break;
      case Kind::kDouble:
        values.doubleValue = bytes.Raw<double>();
        break;
      case Kind::kString:
        values.stringValue = bytes.String(values.storage);
        break;
      case Kind::kPointer:
        values.pointerValue = bytes.Raw<void*>();
        break;
      case Kind::kUnknown:
      case Kind::kPercent:
        break;
    }

    bool tookItsArguments = false;
    bool understood = false;
    switch (starCount) {
      case 0:
        understood = ProcessWithStars(formatter, tookItsArguments, conversion.kind, values);
        break;
      case 1:
        understood =
            ProcessWithStars(formatter, tookItsArguments, conversion.kind, values, values.stars[0]);
        break;
      default:
        understood = ProcessWithStars(formatter, tookItsArguments, conversion.kind, values,
                                      values.stars[0], values.stars[1]);
        break;
    }
    if (!tookItsArguments) Fail("wrong arguments taken", format, offset);
    if (formatter.TextBegin() <= start || formatter.TextBegin() > end) {
      Fail("no progress, or past the terminator", format, offset);
    }

    const bool known = conversion.kind != Kind::kUnknown;
    if (known && formatter.TextBegin() != start + conversion.length) {
      Fail("literal text resumes elsewhere than after the conversion", format, offset);
    }
    const bool fits = known && conversion.length + 2 <= bufferSize;
    if (understood != fits) Fail("accepted or refused against the rules", format, offset);
    if (!understood) {
      out += "<?>";
      continue;
    }
    const std::string actual(formatter.FormattedArgBegin(), formatter.FormattedArgEnd());
    const std::uint64_t room = bufferSize - conversion.length - 1;
    std::string expected;
    if (Reference(conversion, values, room, expected) == Expectation::kEmpty) {
      if (!actual.empty()) Fail("a text where none can be", format, offset);
    } else if (actual != expected && !(actual.empty() && expected.size() > room)) {
      std::fprintf(stderr, "expected \"%s\", got \"%s\"\n", expected.c_str(), actual.c_str());
      Fail("not the text snprintf writes", format, offset);
    }
    out += actual;
  }
  out.append(formatter.TextBegin(), formatter.TextEnd());
  return 0;
}
