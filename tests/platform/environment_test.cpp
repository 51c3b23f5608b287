#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kName = "QMK_ENVIRONMENT_TEST";
const std::wstring kWideName = L"QMK_ENVIRONMENT_TEST";

template <typename Exception, typename Call>
std::string ThrownText(Call call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

TEST(Environment, WideAndUtf8FormsShareOneVariable) {
  // "Grüße €" and U+1F600 as a surrogate pair.
  const std::wstring wide = {L'G', L'r', 0xFC, 0xDF, L'e', L' ', 0x20AC, 0xD83D, 0xDE00};
  dp::Environment::Put(kWideName, wide);
  EXPECT_EQ(dp::Environment::Get(kName),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(dp::Environment::Get(kWideName), wide);

  // Each maximal invalid subpart becomes one U+FFFD; a truncated sequence at
  // the very end is not read past.
  dp::Environment::Put(kName, "\xED\xA0\x80x\xC0\xAFy\xF0\x9F");
  EXPECT_EQ(dp::Environment::Get(kWideName), L"\uFFFD\uFFFD\uFFFDx\uFFFD\uFFFDy\uFFFD");

  // A lone surrogate and a value beyond UTF-16 are not characters.
  dp::Environment::Put(kWideName, std::wstring{0xDC00, L'b', 0xD800, 0x1F600});
  EXPECT_EQ(dp::Environment::Get(kName), "\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD");
  dp::Environment::Put(kName, "");
}

TEST(Environment, EmptyOrNullValueRemovesTheVariable) {
  for (const char* removal : {"", static_cast<const char*>(nullptr)}) {
    dp::Environment::Put(kName.c_str(), "x");
    EXPECT_EQ(dp::Environment::Get(kName), "x");
    dp::Environment::Put(kName.c_str(), removal);
    EXPECT_EQ(std::getenv(kName.c_str()), nullptr);
  }
}

TEST(Environment, BadNamesThrowTheDocumentedTexts) {
  const std::string get_text = "dp::Environment::Get() expects name to be non-empty.";
  const std::string put_text = "dp::Environment::Put() expects name to be non-empty.";
  const std::string failed_text = "dp::Environment::Put() failed to putenv().";
  using dp::Environment;
  EXPECT_EQ(ThrownText<std::invalid_argument>([] { Environment::Get(std::string()); }), get_text);
  EXPECT_EQ(ThrownText<std::invalid_argument>([] { Environment::Put(nullptr, "x"); }), put_text);
  EXPECT_EQ(ThrownText<std::runtime_error>([] { Environment::Put("A=B", "x"); }), failed_text);
  EXPECT_EQ(ThrownText<std::runtime_error>([] { Environment::Put(kName, std::string("a\0b", 3)); }),
            failed_text);
}

// Setting variables reallocates the C library's environment array; readers
// that are not serialised with the writers read freed memory.
TEST(EnvironmentRace, ConcurrentGetAndPutKeepEveryVariableIntact) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 2000;
  const auto name_of = [](int thread) { return "QMK_ENVIRONMENT_RACE_" + std::to_string(thread); };
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = name_of(t);
      const std::string other = name_of((t + 1) % kThreads);
      for (int i = 0; i < kIterations; ++i) {
        const std::string value = (i % 5 == 4) ? "" : std::string(1 + i % 40, 'a' + t) + "|";
        dp::Environment::Put(own, value);
        if (dp::Environment::Get(own) != value) ++failures[t];
        const std::string seen = dp::Environment::Get(other);
        if (!seen.empty() && seen.back() != '|') ++failures[t];
      }
      dp::Environment::Put(own, "");
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(dp::Environment::Get(name_of(t)), "");
  }
}

}  // namespace
