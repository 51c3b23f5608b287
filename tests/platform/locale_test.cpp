#include "qmkutils/platform/locale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "qmkutils/platform/environment.h"
#include "support/run_threads.h"
#include "support/scoped_environment.h"

namespace {

std::string Category(int category) { return std::setlocale(category, nullptr); }

// C.UTF-8 is the one locale besides C that every Debian system has.
class LocaleTest : public ::testing::Test {
 protected:
  LocaleTest() {
    environment_.Set("LC_ALL", "C.UTF-8").Set("QUILL_LANG", "");
    dp::Locale().InitStringLocale();
  }
  ~LocaleTest() override {
    dp::Locale().InitStringLocale();
    std::setlocale(LC_ALL, "C");
  }
  qmk_test::ScopedEnvironment environment_;
};

TEST_F(LocaleTest, NestedScopesSwitchOnceAndRestoreAtTheOuterEnd) {
  EXPECT_EQ(Category(LC_MESSAGES), "C.UTF-8");
  {
    dp::Locale outer(true);
    EXPECT_EQ(outer.IsLocalizingStrings(), 1);
    EXPECT_EQ(Category(LC_COLLATE), "C.UTF-8");
    // Had the inner scope switched again, it would undo this.
    std::setlocale(LC_COLLATE, "C");
    {
      dp::Locale inner(true);
      inner.LocalizeStrings();
      EXPECT_EQ(inner.IsLocalizingStrings(), 3);
      EXPECT_EQ(Category(LC_COLLATE), "C");
    }
    EXPECT_EQ(outer.IsLocalizingStrings(), 1);
    EXPECT_EQ(Category(LC_NUMERIC), "C.UTF-8");
  }
  EXPECT_EQ(Category(LC_NUMERIC), "C");
  // A reset by one object leaves the others nothing to undo.
  {
    dp::Locale a(true);
    dp::Locale b(true);
    b.LocalizeStrings();
    a.InternationalizeStrings(true);
    EXPECT_EQ(a.IsLocalizingStrings(), 0);
    EXPECT_EQ(Category(LC_CTYPE), "C");
  }
  dp::Locale later(true);
  EXPECT_EQ(later.IsLocalizingStrings(), 1);
  EXPECT_EQ(Category(LC_CTYPE), "C.UTF-8");
}

TEST_F(LocaleTest, LanguageLocaleUiLanguageAndNoUserLocale) {
  environment_.Set("QUILL_LANG", "de");
  dp::Locale::LocalizeLocale(LC_NUMERIC);
  const std::string numeric = Category(LC_NUMERIC);
  EXPECT_TRUE(numeric == "de_DE.UTF-8" || numeric == "C.UTF-8") << numeric;
  dp::Locale::InternationalizeLocale(LC_NUMERIC);
  EXPECT_EQ(Category(LC_NUMERIC), "C");

  for (const auto& [language, lang] :
       {std::pair{"en", "untouched"}, std::pair{"xx", "untouched"},
        std::pair{"pseudo", "untouched"}, std::pair{"zh_TW", "cht"}, std::pair{"zh_CN", "chs"},
        std::pair{"ja", "japanese"}, std::pair{"ru", "russian"}}) {
    environment_.Set("QUILL_LANG", language).Set("LANG", "untouched");
    dp::Locale::SetUILang();
    EXPECT_EQ(dp::Environment::Get("LANG"), lang) << language;
  }

  // Without a user locale only the object counts.
  environment_.Set("LC_ALL", "").Set("LC_CTYPE", "xx_NOWHERE.UTF-8");
  dp::Locale locale;
  locale.InitStringLocale();
  locale.LocalizeStrings();
  EXPECT_EQ(locale.IsLocalizingStrings(), 0);
  EXPECT_EQ(Category(LC_CTYPE), "C");
}

class LocaleRace : public LocaleTest {};

// Threads open and close nested scopes at once; no switch may be lost.
TEST_F(LocaleRace, NestedScopesOnManyThreads) {
  qmk_test::RunThreads(4, [](int) {
    for (int i = 0; i < 500; ++i) {
      dp::Locale outer(true);
      dp::Locale inner(true);
      EXPECT_GE(inner.IsLocalizingStrings(), 2);
      inner.InternationalizeStrings(false);
    }
  });
  EXPECT_EQ(dp::Locale().IsLocalizingStrings(), 0);
  EXPECT_EQ(Category(LC_COLLATE), "C");
}

}  // namespace
