#include "qmkutils/tracing/printfformatter.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "qmkutils/tracing/traceformat.h"

namespace {

// Walks as the trace formatter does, showing formatted arguments in braces
// and unrecognised conversions as "<?>".
void ContinueWalk(dp::PrintfFormatter& formatter, dp::PrintfArgs& args, const char* formatEnd,
                  std::string& out) {
  while (formatter.SkipToNextFormat()) {
    const char* const conversion = formatter.TextEnd();
    out.append(formatter.TextBegin(), formatter.TextEnd());
    if (formatter.ProcessFormatSequence(args)) {
      out.append("{").append(formatter.FormattedArgBegin(), formatter.FormattedArgEnd()) += '}';
    } else {
      out += "<?>";
    }
    if (formatter.TextBegin() <= conversion || formatter.TextBegin() > formatEnd) {
      ADD_FAILURE() << "no progress or past the terminator at offset " << conversion - formatEnd;
      return;
    }
  }
  out.append(formatter.TextBegin(), formatter.TextEnd());
}

std::string WalkSized(unsigned bufferSize, const char* format, ...) {
  dp::PrintfArgs args;
  va_start(args.list, format);
  dp::PrintfFormatter formatter(format, bufferSize);
  std::string out;
  ContinueWalk(formatter, args, format + std::strlen(format), out);
  va_end(args.list);
  return out;
}

template <typename... Args>
std::string Walk(const char* format, Args... args) {
  return WalkSized(512, format, args...);
}

// Hands the formatter on, after its first conversion, through assignments
// (over one of `targetSize`, then onto itself) and a copy; the original then
// formats the next argument into its own buffer, the copy finishes the walk.
std::string WalkACopy(unsigned originalSize, unsigned targetSize, const char* format, ...) {
  dp::PrintfArgs args, spare;
  va_start(args.list, format);
  dp::PrintfFormatter original(format, originalSize), assigned(nullptr, targetSize);
  original.SkipToNextFormat();
  original.ProcessFormatSequence(args);
  assigned = original;
  assigned = *&assigned;
  dp::PrintfFormatter copy(assigned);
  va_copy(spare.list, args.list);
  original.SkipToNextFormat();
  original.ProcessFormatSequence(spare);
  va_end(spare.list);
  std::string out("{");
  out.append(copy.FormattedArgBegin(), copy.FormattedArgEnd()).append("}");
  ContinueWalk(copy, args, format + std::strlen(format), out);
  va_end(args.list);
  return out;
}

// The differential fuzzer holds accepted conversions to the C library's text;
// negative '*' values are pinned here.
TEST(PrintfFormatter, RecognisesOnlyItsSubsetTakesStarsAndNeverPassesTheTerminator) {
  EXPECT_EQ(Walk("%*d|%*d|%-*d", 4, 7, -3, 8, 3, 9), "{   7}|{8  }|{9  }");
  EXPECT_EQ(Walk("%.*f|%.*s", -1, 3.14159, 2, "abc"), "{3.141590}|{ab}");
  EXPECT_EQ(Walk("%%%d%%", 5), "{%}{5}{%}");

  EXPECT_EQ(Walk("%*lf|%d", 5, 7), "<?>|{7}");  // a '*' value already read stays taken
  // What follows each terminator would show up if the walk went past it.
  const char formats[][9] = {"ab%\0%d",   "ab%l\0%d",  "ab%ll\0%d",
                             "ab%5.\0%d", "ab%-#\0%d", "ab%.*\0%d"};
  for (const char* format : formats) EXPECT_EQ(Walk(format, 3, 4), "ab<?>") << format;
}

TEST(PrintfFormatter, NullStringAndTextsOrConversionsBeyondTheRoomLeft) {
  const char* const null = nullptr;
  EXPECT_EQ(Walk("%s|%.3s|%8s", null, null, null), "{(null)}|{(nu}|{  (null)}");
  const std::string fits(509, 'x'), tooLong(510, 'x');  // 509: 512 less "%s" and its terminator

  EXPECT_EQ(Walk("%s", fits.c_str()), "{" + fits + "}");
  EXPECT_EQ(Walk("%s|%d", tooLong.c_str(), 7), "{}|{7}");
  EXPECT_EQ(Walk("%506d", 7), "{" + std::string(505, ' ') + "7}");
  EXPECT_EQ(Walk("%507d|%d", 7, 8), "{}|{8}");
  EXPECT_EQ(WalkSized(4096, "%s", tooLong.c_str()), "{" + tooLong + "}");
  EXPECT_EQ(WalkSized(4, "a%d%%b%d", 7, 12), "a{7}{%}b{}");
  // A conversion too long for the buffer still takes its arguments: a later
  // %s must not read an integer as a pointer.
  const std::string digits(600, '1'), dashes(600, '-');
  EXPECT_EQ(Walk(("%" + digits + "d|%s").c_str(), 7, "next"), "<?>|{next}");
  EXPECT_EQ(Walk(("%*." + digits + "f|%s").c_str(), 5, 1.5, "next"), "<?>|{next}");
  EXPECT_EQ(Walk(("%" + dashes + "lld|%s").c_str(), 7LL, "next"), "<?>|{next}");
  EXPECT_EQ(Walk(("%" + digits + "y|%d").c_str(), 7), "<?>|{7}");  // unknown: no argument
  EXPECT_EQ(WalkSized(4, "%5d|%s", 7, "x"), "<?>|{x}");
  for (unsigned size : {0u, 1u, 2u, 3u}) EXPECT_EQ(WalkSized(size, "a%d%%b", 7), "a<?><?>b");
  // Copies and assignments own their buffers, whatever the sizes involved.
  const std::pair<unsigned, unsigned> sizes[] = {{512, 512}, {512, 4096}, {4096, 16}, {600, 700}};
  for (const auto& [from, to] : sizes)
    EXPECT_EQ(WalkACopy(from, to, "%d|%s|%d", 1, "two", 3), "{1}|{two}|{3}") << from << " " << to;
}

// Non-finite numbers and null pointers keep their text under any precision;
// anything else too wide or precise gives empty text, quickly.
TEST(PrintfFormatter, HugeWidthsAndPrecisions) {
  EXPECT_EQ(Walk("%.600f|%.999999999E|%#.*g|%-6.600F|%.600G", INFINITY, -INFINITY, INT_MAX, NAN,
                 INFINITY, std::copysign(NAN, -1.0)),
            "{inf}|{-INF}|{nan}|{INF   }|{-NAN}");
  void* const nullPointer = nullptr;
  const char* const nullString = nullptr;
  char nullText[32];
  std::snprintf(nullText, sizeof nullText, "%p", nullPointer);
  EXPECT_EQ(Walk("%.600p|%.*s|%600p|", nullPointer, INT_MAX, nullString, nullPointer),
            std::string("{") + nullText + "}|{(null)}|{}|");
  EXPECT_EQ(Walk("%999999999d|%99999999999999999999d|", 1, 2), "{}|{}|");
  EXPECT_EQ(Walk("%*d|%*d|%*s|", INT_MAX, 1, INT_MIN, 2, INT_MAX, "s"), "{}|{}|{}|");
  EXPECT_EQ(Walk("%.999999999f|%.*e|%.999999999x|", 1.0, INT_MAX, 2.0, 3), "{}|{}|{}|");
  EXPECT_EQ(Walk("%#.999999999g|%#.*G|", 0.1, INT_MAX, 0.1), "{}|{}|");
  // Without '#' %g drops trailing zeros, so the exact value fits.
  const std::string exact = "{0.1000000000000000055511151231257827021181583404541015625}";
  EXPECT_EQ(Walk("%.999999999g|%.*g", 0.1, INT_MAX, 0.1), exact + "|" + exact);
  EXPECT_EQ(Walk("%.999999999s", "abc"), "{abc}");
  // The room left is counted from the conversion as written (17 - 12 - 1).
  EXPECT_EQ(WalkSized(17, "%9.99999499g|%4.99999499g", 0.0, 0.0), "{}|{   0}");
  // The C library refuses a precision beyond INT_MAX.
  EXPECT_EQ(Walk("%.3000000000s|%.99999999999g|", "abc", 0.1), "{}|{}|");
}

using dp::detail::TraceArgKind;

template <class... Args>
constexpr bool Accepts(const char* format) {
  constexpr TraceArgKind kKinds[] = {dp::detail::TraceArgKindOf<Args>()..., TraceArgKind::kOther};
  return dp::detail::CheckTraceFormat(format, kKinds, sizeof...(Args));
}

enum Plain { kPlain };
enum class Scoped { kScoped };

// What printf would read wrongly never compiles: an int read as a pointer,
// half of a 64-bit value, too few or too many arguments, a width not an int.
static_assert(Accepts<>("plain 100%% text") && Accepts<int, int, unsigned>("%*.*u"));
static_assert(Accepts<int, const char*, double, long, std::int64_t, void*, char, short>(
    "%d %s %5.2f %ld %lld %p %c %hx"));
static_assert(Accepts<Plain, bool, float, std::nullptr_t, std::nullptr_t>("%d %d %e %s %p"));
static_assert(Accepts<char[4], const int*>("%s %p"));
static_assert(!Accepts<int>("%s") && !Accepts<long>("%d") && !Accepts<int>("%ld"));
static_assert(!Accepts<int*>("%x") && !Accepts<Scoped>("%d") && !Accepts<long double>("%Lf"));
static_assert(!Accepts<>("%d") && !Accepts<int, int>("%d") && !Accepts<double>("%*f"));
static_assert(!Accepts<>("ends in %"));

// The formatter's unrecognised conversions take no argument and end at their letter.
TEST(TraceFormat, AcceptsExactlyTheConversionsOfThePrintfFormatter) {
  for (const char* format : {"%d", "%i", "%o", "%u", "%x", "%X", "%hd", "%hu", "%+05d", "%-8x",
                             "%#o", "% d", "%.3d", "%c"})
    EXPECT_TRUE(Walk(format, 1)[0] == '{' && Accepts<int>(format)) << format;
  for (const char* format : {"%ld", "%lld", "%lx", "%llu"})
    EXPECT_TRUE(Walk(format, 1LL)[0] == '{' && Accepts<long long>(format)) << format;
  for (const char* format : {"%e", "%E", "%f", "%F", "%g", "%G", "%.2f", "%10.4e"})
    EXPECT_TRUE(Walk(format, 1.5)[0] == '{' && Accepts<double>(format)) << format;

  for (std::string format : {"%5%", "%-%", "%lf", "%Lf", "%hhd", "%n", "%lc", "%ls", "%zu", "%a"}) {
    EXPECT_EQ(Walk((format + "|%d").c_str(), 7), "<?>|{7}") << format;
    EXPECT_FALSE(Accepts<int>(format.c_str())) << format;
  }
}

}  // namespace
