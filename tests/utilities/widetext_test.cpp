#include "qmkutils/utilities/widetext.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/run_threads.h"
#include "support/scoped_environment.h"

namespace {

TEST(WideTextTest, MapsUnitsByTheFixedRulesBothWays) {
  const std::wstring units = {0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00};
  const std::string bytes = "A\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80";
  EXPECT_EQ(du::WideStrToUtf8(units), bytes);
  EXPECT_EQ(du::Utf8ToWideStr(bytes), units);

  // Nothing is validated: a 4-byte lead reads as a 3-byte one, a stray
  // continuation byte as a lead, and only 16 bits of a wchar_t count.
  EXPECT_EQ(du::Utf8ToWideStr(std::string("\xF0\x9F\x98\x80")), (std::wstring{0x07D8, 0x0000}));
  EXPECT_EQ(du::WideStrToUtf8(std::wstring{0x1F600}), "\xEF\x98\x80");
}

TEST(WideTextTest, CutSequencesNullAndEmptyInputsNeverReadPastTheEnd) {
  // The three bytes are there, but only two are inside the range.
  const std::string text = "ab\xE2\x82\xAC";
  EXPECT_EQ(du::Utf8ToWideStr(text, 2, 2), std::wstring{0x2080});
  EXPECT_EQ(du::Utf8ToWideStr(text, 1, 100), (std::wstring{L'b', 0x20AC}));
  EXPECT_EQ(du::Utf8ToWideStr(text, 9, 1), L"");
  EXPECT_EQ(du::Utf8ToWideStr(std::string("x\xC3")), (std::wstring{L'x', 0xC0}));

  int length = -1;
  wchar_t* fresh = du::Utf8ToWide("\xE2\x82", &length);
  EXPECT_EQ(std::wstring(fresh, 2), (std::wstring{0x2080, L'\0'}));
  EXPECT_EQ(length, 1);
  std::free(fresh);

  const char* const noText = nullptr;
  EXPECT_TRUE(du::Utf8ToWideBuffered(noText) == nullptr && du::Utf8ToWide(noText) == nullptr);
  EXPECT_TRUE(du::WideToUtf8Buffered(nullptr) == nullptr && du::WideToUtf8(nullptr) == nullptr);
  EXPECT_EQ(du::Utf8ToWideStr(noText), L"");
  EXPECT_EQ(du::WideStrToUtf8(static_cast<const wchar_t*>(nullptr)), "");
  const wchar_t* empty = du::Utf8ToWideBuffered(du::Symbol(), &length);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(length == 0 && empty[0] == L'\0');
}

TEST(WideTextTest, BufferedResultsLiveForTenCallsAndGrowWithTheirInput) {
  int length = 0;
  const wchar_t* first = du::Utf8ToWideBuffered("first", &length);
  for (int i = 1; i < 10; ++i) du::Utf8ToWideBuffered(std::string(i, 'x'));

  EXPECT_EQ(std::wstring(first), L"first");
  EXPECT_EQ(du::Utf8ToWideBuffered("11th", &length), first);
  EXPECT_EQ(std::wstring(first), L"11th");
  const wchar_t* grown = du::Utf8ToWideBuffered(std::string(5000, 'y'), &length);
  EXPECT_EQ(length, 5000);
  EXPECT_EQ(std::wstring(grown), std::wstring(5000, L'y'));

  const std::wstring wide(3000, 0x20AC);
  const char* bytes = du::WideToUtf8Buffered(wide.c_str(), &length);
  EXPECT_EQ(length, 9000);
  EXPECT_EQ(std::string(bytes), du::WideStrToUtf8(wide));
}

TEST(WideTextTest, MultiByteAndValidTypes) {
  EXPECT_FALSE(du::IsMultiByteStr("plain ASCII ~"));
  EXPECT_TRUE(du::IsMultiByteStr("caf\xC3\xA9"));
  EXPECT_TRUE(du::IsMultiByteStr(std::string("\0\x80", 2)));
  EXPECT_FALSE(du::IsMultiByteStr(static_cast<const char*>(nullptr)));

  qmk_test::ScopedEnvironment environment;
  environment.Set("LC_ALL", "C");
  EXPECT_TRUE(du::IsValidType(L" 42", du::kIntegerType) && du::IsValidType(L"2.5", du::kRealType) &&
              du::IsValidType(L"anything", du::kTextType));
  for (const wchar_t* bad : {L"42 ", L"4x", L"", L"99999999999"})
    EXPECT_FALSE(du::IsValidType(bad, du::kIntegerType)) << bad;

  EXPECT_FALSE(du::IsValidType(L"2,5", du::kRealType) ||
               du::IsValidType(L"1", static_cast<du::DataType>(3)) ||
               du::IsValidType(nullptr, du::kTextType));
}

TEST(WideTextRace, EachThreadHasItsOwnRing) {
  qmk_test::RunThreads(8, [](int t) {
    const std::string text(static_cast<std::size_t>(t + 1) * 7, static_cast<char>('a' + t));
    const std::wstring expected(text.begin(), text.end());
    for (int i = 0; i < 2000; ++i) {
      const wchar_t* wide = du::Utf8ToWideBuffered(text);
      const char* back = du::WideToUtf8Buffered(wide);
      ASSERT_EQ(std::wstring(wide), expected);
      ASSERT_EQ(std::string(back), text);
    }
  });
}

}  // namespace
