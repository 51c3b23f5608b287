#include "qmkutils/platform/environment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/run_threads.h"

namespace {

using dp::Environment;

const std::string kName = "QMK_ENVIRONMENT_TEST";
const std::wstring kWideName = L"QMK_ENVIRONMENT_TEST";

TEST(Environment, WideAndUtf8FormsShareOneVariableAndBadNamesOrValuesThrow) {
  // "Grüße €" and U+1F600 as a surrogate pair.
  const std::wstring wide = {L'G', L'r', 0xFC, 0xDF, L'e', L' ', 0x20AC, 0xD83D, 0xDE00};
  Environment::Put(kWideName, wide);
  EXPECT_EQ(Environment::Get(kName),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Environment::Get(kWideName), wide);

  // Each maximal invalid subpart becomes one U+FFFD; a truncated sequence at
  // the very end is not read past.
  Environment::Put(kName, "\xED\xA0\x80x\xC0\xAFy\xF0\x9F");
  EXPECT_EQ(Environment::Get(kWideName), L"\uFFFD\uFFFD\uFFFDx\uFFFD\uFFFDy\uFFFD");

  // A lone surrogate and a value beyond UTF-16 are not characters.
  Environment::Put(kWideName, std::wstring{0xDC00, L'b', 0xD800, 0x1F600});
  EXPECT_EQ(Environment::Get(kName),
            "\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");

  // An empty or null value removes the variable.
  for (const char* value : {"", static_cast<const char*>(nullptr)}) {
    Environment::Put(kName.c_str(), "x");
    Environment::Put(kName.c_str(), value);
    EXPECT_EQ(std::getenv(kName.c_str()), nullptr);
  }

  // Names no variable can have, and values the C library cannot store.
  EXPECT_THROW(Environment::Get(std::string()), std::invalid_argument);
  EXPECT_THROW(Environment::Put(nullptr, "x"), std::invalid_argument);
  EXPECT_THROW(Environment::Put("A=B", "x"), std::runtime_error);
  EXPECT_THROW(Environment::Put(kName, std::string("a\0b", 3)), std::runtime_error);
}

// Setting variables reallocates the C library's environment array; readers
// that are not serialised with the writers read freed memory.
TEST(EnvironmentRace, ConcurrentGetAndPutKeepEveryVariableIntact) {
  constexpr int kThreads = 8;
  const auto nameOf = [](int thread) { return "QMK_ENVIRONMENT_RACE_" + std::to_string(thread); };
  std::vector<int> failures(kThreads, 0);
  qmk_test::RunThreads(kThreads, [&](int t) {
    const std::string own = nameOf(t), other = nameOf((t + 1) % kThreads);
    for (int i = 0; i < 2000; ++i) {
      const std::string value = (i % 5 == 4) ? "" : std::string(1 + i % 40, 'a' + t) + "|";
      Environment::Put(own, value);
      if (Environment::Get(own) != value) ++failures[t];
      const std::string seen = Environment::Get(other);
      if (!seen.empty() && seen.back() != '|') ++failures[t];
    }
    Environment::Put(own, "");
  });
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(Environment::Get(nameOf(t)), "");
  }
}

}  // namespace
