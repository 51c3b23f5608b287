// Trace format strings checked when the trace call is compiled.
//
// The printf-style tracer calls take their format as a TraceFormatString,
// built from the format and the types of the arguments that follow it. A
// string literal is checked at compile time against the conversions the
// trace formatter accepts (see qmkutils/tracing/printfformatter.h): a
// conversion it does not accept, an argument of the wrong type for its
// conversion, or too few or too many arguments make the call fail to compile
// with an error naming TraceFormatDoesNotMatchItsArguments. Integer
// conversions take integers of their size (`int` and smaller, or 64-bit ones
// after `l` and `ll`), floating conversions `float` or `double`, `%s` a
// character pointer or array, `%p` any pointer; a null pointer constant
// (nullptr) serves both.
//
// A format that is not a constant (a `const char*` or character buffer
// computed at run time) is accepted unchecked, as printf accepts it. A named
// format array must be `static constexpr`: a `const` array that is not a
// compile-time constant does not compile.
#ifndef QMKUTILS_TRACING_TRACEFORMAT_H_
#define QMKUTILS_TRACING_TRACEFORMAT_H_

#include <cstddef>
#include <type_traits>

namespace dp {
namespace detail {

// What a printf conversion can take from the argument list.
enum class TraceArgKind : unsigned char {
  kInt,
  kWideInt,
  kDouble,
  kString,
  kNull,
  kPointer,
  kOther
};

template <class T>
constexpr TraceArgKind TraceArgKindOf() {
  using U = std::remove_cv_t<std::decay_t<T>>;
  if constexpr (std::is_same_v<U, std::nullptr_t>) {
    return TraceArgKind::kNull;
  } else if constexpr (std::is_same_v<U, char*> || std::is_same_v<U, const char*>) {
    return TraceArgKind::kString;
  } else if constexpr (std::is_pointer_v<U>) {
    return TraceArgKind::kPointer;
  } else if constexpr (std::is_same_v<U, float> || std::is_same_v<U, double>) {
    return TraceArgKind::kDouble;
  } else if constexpr (std::is_integral_v<U> ||
                       (std::is_enum_v<U> && std::is_convertible_v<U, int>)) {
    if constexpr (sizeof(U) <= sizeof(int)) return TraceArgKind::kInt;
    if constexpr (sizeof(U) == 8) return TraceArgKind::kWideInt;
    return TraceArgKind::kOther;
  } else {
    return TraceArgKind::kOther;
  }
}

// True when `format` is a format the trace formatter accepts whole and
// `kinds` are exactly the arguments its conversions take, in order.
constexpr bool CheckTraceFormat(const char* format, const TraceArgKind* kinds, std::size_t count) {
  std::size_t next = 0;
  auto take = [&](bool (*accepts)(TraceArgKind)) {
    if (next == count || !accepts(kinds[next])) return false;
    ++next;
    return true;
  };
  constexpr auto kIsInt = [](TraceArgKind k) { return k == TraceArgKind::kInt; };
  constexpr auto kIsWideInt = [](TraceArgKind k) { return k == TraceArgKind::kWideInt; };
  constexpr auto kIsDouble = [](TraceArgKind k) { return k == TraceArgKind::kDouble; };
  constexpr auto kIsString = [](TraceArgKind k) {
    return k == TraceArgKind::kString || k == TraceArgKind::kNull;
  };
  constexpr auto kIsPointer = [](TraceArgKind k) {
    return k == TraceArgKind::kPointer || k == TraceArgKind::kString || k == TraceArgKind::kNull;
  };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  auto isInteger = [](char c) {
    return c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X';
  };
  const char* p = format;
  while (*p != '\0') {
    if (*p++ != '%') continue;
    if (*p == '%') {
      ++p;
      continue;
    }
    while (*p == ' ' || *p == '+' || *p == '-' || *p == '#' || *p == '0') ++p;
    if (*p == '*') {
      if (!take(kIsInt)) return false;
      ++p;
    } else {
      while (isDigit(*p)) ++p;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        if (!take(kIsInt)) return false;
        ++p;
      } else {
        while (isDigit(*p)) ++p;
      }
    }
    const char c = *p++;
    bool taken;
    if (isInteger(c) || c == 'c') {
      taken = take(kIsInt);
    } else if (c == 'e' || c == 'E' || c == 'f' || c == 'F' || c == 'g' || c == 'G') {
      taken = take(kIsDouble);
    } else if (c == 's') {
      taken = take(kIsString);
    } else if (c == 'p') {
      taken = take(kIsPointer);
    } else if (c == 'h' && isInteger(*p)) {
      ++p;
      taken = take(kIsInt);
    } else if (c == 'l' && *p == 'l' && isInteger(p[1])) {
      p += 2;
      taken = take(kIsWideInt);
    } else if (c == 'l' && isInteger(*p)) {
      ++p;
      taken = take(kIsWideInt);
    } else {
      return false;  // unrecognised, or the format ends inside the conversion
    }
    if (!taken) return false;
  }
  return next == count;
}

// Never defined: a constant evaluation that reaches it fails to compile.
void TraceFormatDoesNotMatchItsArguments();

}  // namespace detail

template <class... Args>
class TraceFormatString {
 public:
  // A literal: checked at compile time.
  template <std::size_t N>
  consteval TraceFormatString(const char (&format)[N]) : format_(format) {
    constexpr detail::TraceArgKind kKinds[] = {detail::TraceArgKindOf<Args>()...,
                                               detail::TraceArgKind::kOther};
    if (!detail::CheckTraceFormat(format, kKinds, sizeof...(Args))) {
      detail::TraceFormatDoesNotMatchItsArguments();
    }
  }
  // A buffer filled at run time: unchecked.
  template <std::size_t N>
  TraceFormatString(char (&format)[N]) : format_(format) {}
  // A pointer (or nullptr, which makes no message): unchecked.
  template <class T>
  requires std::is_convertible_v<T, const char*> TraceFormatString(T format) : format_(format) {}

  const char* Get() const { return format_; }

 private:
  const char* format_;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACEFORMAT_H_
