#include "qmkutils/utilities/tokenizers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every token of `text`, the first call starting and the others continuing.
template <class Next>
std::vector<std::string> Tokens(std::string text, Next next) {
  std::vector<std::string> tokens;
  text.push_back('\0');
  for (char* token = next(text.data()); token != nullptr; token = next(nullptr)) {
    tokens.emplace_back(token);
    if (tokens.size() > 100) break;  // a tokeniser that never ends
  }
  return tokens;
}

using Strings = std::vector<std::string>;

TEST(TokenizersTest, CharacterDelimiterKeepsEmptyTokens) {
  const auto byComma = [](char* s) { return du::strtokchar(s, ','); };
  EXPECT_EQ(Tokens("a,,b", byComma), (Strings{"a", "", "b"}));
  EXPECT_EQ(Tokens(",a", byComma), (Strings{"", "a"}));
  EXPECT_EQ(Tokens("a,", byComma), (Strings{"a", ""}));
  EXPECT_EQ(Tokens("", byComma), (Strings{""}));
  EXPECT_EQ(du::strtokchar(nullptr, ','), nullptr);  // stays finished
  EXPECT_EQ(Tokens("a,b", [](char* s) { return du::strtokchar(s, '\0'); }), (Strings{"a,b"}));
}

TEST(TokenizersTest, StringDelimiterMatchesWholeAndResumesAfterIt) {
  char dashes[] = "--";
  const auto byDashes = [&](char* s) { return du::strtokstr(s, dashes); };
  EXPECT_EQ(Tokens("x--y--z", byDashes), (Strings{"x", "y", "z"}));
  EXPECT_EQ(Tokens("--x", byDashes), (Strings{"", "x"}));
  EXPECT_EQ(Tokens("x---y", byDashes), (Strings{"x", "-y"}));
  EXPECT_EQ(Tokens("x-y--", byDashes), (Strings{"x-y", ""}));
  EXPECT_EQ(Tokens("x-", byDashes), (Strings{"x-"}));
  char empty[] = "";
  EXPECT_EQ(Tokens("a--b", [&](char* s) { return du::strtokstr(s, empty); }), (Strings{"a--b"}));

  // A null delimiter returns the text and leaves a tokenisation in progress.
  char text[] = "p--q";
  EXPECT_STREQ(du::strtokstr(text, dashes), "p");
  char other[] = "other";
  EXPECT_EQ(du::strtokstr(other, nullptr), other);
  EXPECT_STREQ(du::strtokstr(nullptr, dashes), "q");
  EXPECT_EQ(du::strtokstr(nullptr, dashes), nullptr);

  // The two functions keep separate states.
  char chars[] = "a,b", again[] = "p--q";
  EXPECT_STREQ(du::strtokchar(chars, ','), "a");
  EXPECT_STREQ(du::strtokstr(again, dashes), "p");
  EXPECT_STREQ(du::strtokchar(nullptr, ','), "b");
  EXPECT_STREQ(du::strtokstr(nullptr, dashes), "q");
}

}  // namespace
