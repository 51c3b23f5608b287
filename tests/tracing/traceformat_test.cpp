#include "qmkutils/tracing/traceformat.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>

#include "qmkutils/tracing/printfformatter.h"

namespace {

using dp::detail::TraceArgKind;

template <class... Args>
constexpr bool Accepts(const char* format) {
  constexpr TraceArgKind kKinds[] = {dp::detail::TraceArgKindOf<Args>()..., TraceArgKind::kOther};
  return dp::detail::CheckTraceFormat(format, kKinds, sizeof...(Args));
}

enum Plain { kPlain };
enum class Scoped { kScoped };

// The compile-time check: what printf would read wrongly never compiles.
static_assert(Accepts<>("plain 100%% text"));
static_assert(Accepts<int, const char*, double, long, std::int64_t, void*, char, short>(
    "%d %s %5.2f %ld %lld %p %c %hx"));
static_assert(Accepts<int, int, unsigned>("%*.*u"));
static_assert(Accepts<Plain, bool, float, std::nullptr_t, std::nullptr_t>("%d %d %e %s %p"));
static_assert(Accepts<char[4], const int*>("%s %p"));
static_assert(!Accepts<int>("%s"));   // an int read as a pointer
static_assert(!Accepts<long>("%d"));  // half of a 64-bit value
static_assert(!Accepts<int>("%ld"));
static_assert(!Accepts<int*>("%x"));
static_assert(!Accepts<Scoped>("%d"));
static_assert(!Accepts<long double>("%Lf"));
static_assert(!Accepts<>("%d"));          // too few arguments
static_assert(!Accepts<int, int>("%d"));  // too many
static_assert(!Accepts<double>("%lf"));   // not in the formatter's subset
static_assert(!Accepts<>("%5%"));
static_assert(!Accepts<>("ends in %"));
static_assert(!Accepts<char>("%hhd"));
static_assert(!Accepts<double>("%*f"));  // the width must be an int

// The check and the formatter agree on which conversions exist.
bool FormatterAccepts(const char* format, ...) {
  dp::PrintfArgs args;
  va_start(args.list, format);
  dp::PrintfFormatter formatter(format, 512);
  bool accepted = true;
  while (formatter.SkipToNextFormat()) accepted = formatter.ProcessFormatSequence(args) && accepted;
  va_end(args.list);
  return accepted;
}

TEST(TraceFormat, AcceptsExactlyTheConversionsOfThePrintfFormatter) {
  for (const char* format : {"%d", "%i", "%o", "%u", "%x", "%X", "%hd", "%hu", "%+05d", "%-8x",
                             "%#o", "% d", "%.3d", "%c"}) {
    EXPECT_TRUE(FormatterAccepts(format, 1)) << format;
    EXPECT_TRUE(Accepts<int>(format)) << format;
  }
  for (const char* format : {"%ld", "%lld", "%lx", "%llu"}) {
    EXPECT_TRUE(FormatterAccepts(format, 1LL)) << format;
    EXPECT_TRUE(Accepts<long long>(format)) << format;
  }
  for (const char* format : {"%e", "%E", "%f", "%F", "%g", "%G", "%.2f", "%10.4e"}) {
    EXPECT_TRUE(FormatterAccepts(format, 1.5)) << format;
    EXPECT_TRUE(Accepts<double>(format)) << format;
  }
  for (const char* format : {"%lf", "%Lf", "%n", "%hhd", "%5%", "%q", "%", "%lc", "%ls", "%zu"}) {
    EXPECT_FALSE(FormatterAccepts(format, 0)) << format;
    EXPECT_FALSE(Accepts<int>(format)) << format;
  }
}

}  // namespace
