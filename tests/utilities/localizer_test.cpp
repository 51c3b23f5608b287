#include "qmkutils/utilities/localizer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iomanip>
#include <locale>
#include <string>
#include <thread>
#include <vector>

#include "qmkutils/utilities/internal/pseudolocalizesettings.h"
#include "qmkutils/utilities/pseudolocalize.h"
#include "qmkutils/utilities/widetext.h"
#include "support/child_process.h"
#include "support/recording_consumer.h"
#include "support/run_threads.h"
#include "support/sanitizers.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using Args = std::vector<std::string>;

const std::string kError = "<localization error>";
const std::wstring kWideTail = {0x30BD, 0x2116, 0x5341, 0x7533, 0x52C9, 0x5F37,
                                0x906E, 0x7E2E, 0x7C9B, 0x5DCC, 0x63E1};
const std::string kTail = du::WideStrToUtf8(kWideTail);  // three bytes a unit

// A resource name of its own: implementations live as long as the process.
std::string Fresh(const std::string& stem) {
  static std::atomic<int> s_count{0};
  return stem + std::to_string(++s_count);
}

// An installation home for strings files of the product "prod", in German.
class LocalizerTest : public ::testing::Test {
 protected:
  LocalizerTest() {
    environment_.Set("QUILL_HOME", root_.path()).Set("QUILL_LANG", "de");
    environment_.Set("XDG_CONFIG_HOME", root_ / "config").Set("XDG_CONFIG_DIRS", root_ / "config");
  }

  std::string Path(const std::string& language, const std::string& name) const {
    return root_ / ("resources/prod/text/" + language + "/" + name + ".qmtrb");
  }
  void Write(const std::string& language, const std::string& name, const std::string& text) {
    std::filesystem::create_directories(root_ / ("resources/prod/text/" + language));
    qmk_test::WriteFile(Path(language, name), text);
  }

  // The traces of the localizers, as "W " or "E " and the text.
  std::vector<std::string> Traces() const {
    std::vector<std::string> traces;
    for (const auto& record : recorder_.log().Records())
      if (record.subKey == "Localize")
        traces.push_back((record.type == dp::Warning ? "W " : "E ") + record.text);
    return traces;
  }

  qmk_test::TempDir root_;
  qmk_test::ScopedEnvironment environment_;
  qmk_test::ScopedTraceRecorder recorder_;
};

TEST_F(LocalizerTest, CurrentLanguageFirstThenEnglishForTheTagsItLacks) {
  const std::string name = Fresh("two");
  Write("german", name, "hello.value=Hallo {0}\nboth.value=beide\n");
  Write("usascii", name, "hello.value=Hello\nonly.value=English {0} {1}\n");
  const du::Localizer localizer(("prod:" + name).c_str());
  EXPECT_EQ(localizer.LocalizeMessage("hello", du::AssembleArgs() << "Welt"), "Hallo Welt");
  EXPECT_EQ(localizer.LocalizeMessage("only", du::AssembleArgs("%d%s", 1, "2")), "English 1 2");
  // The English message of the tag takes over when the German one refuses.
  EXPECT_EQ(localizer.LocalizeMessage("hello"), "Hello");
  EXPECT_EQ(localizer.LocalizeMessage("nope", du::kQuietFailure), "");
  EXPECT_EQ(localizer.LocalizeMessage("only", du::kQuietFailure), "");
  EXPECT_TRUE(Traces().empty());
  EXPECT_EQ(localizer.LocalizeMessage("nope"), kError);
  EXPECT_EQ(localizer.LocalizeMessage("only", du::AssembleArgs() << 1), kError);
  EXPECT_EQ(Traces(), (std::vector<std::string>{
                          "E LocalizeMessage():- Unknown tag \"nope\".",
                          "E LocalizeMessage():- could not build localized string for tag \"only\" "
                          "(Incorrect number of arguments: got 1, expected 2).",
                      }));

  // Localizers of one name share what was loaded: the files are read once.
  std::filesystem::remove_all(root_ / "resources");
  du::Localizer assigned(nullptr);
  assigned = du::Localizer(("prod:" + name).c_str());
  EXPECT_EQ(du::Localizer(assigned).LocalizeMessage("both"), "beide");
}

TEST_F(LocalizerTest, LoadFailuresFallBackToEnglishOrStayEmptyUntilTheFilesAppear) {
  const std::string broken = Fresh("broken"), missing = Fresh("missing"), name = Fresh("none");
  Write("german", broken, "hello.value=Hallo\nmalformed\n");
  Write("usascii", broken, "hello.value=Hello\n");
  Write("usascii", missing, "hello.value=Hello\n");
  EXPECT_EQ(du::Localizer(("prod:" + broken).c_str()).LocalizeMessage("hello"), "Hello");
  EXPECT_EQ(du::Localizer(("prod:" + missing).c_str()).LocalizeMessage("hello"), "Hello");

  const std::string resource = "prod:" + name;
  const du::Localizer empty(resource.c_str());
  EXPECT_EQ(empty.LocalizeMessage("hello"), kError);
  EXPECT_EQ(empty.LocalizeMessage("hello", du::kQuietFailure), "");
  EXPECT_EQ(du::Localizer(nullptr).LocalizeMessage("hello"), kError);
  const du::Localizer badName("no colon");
  environment_.Set("QUILL_HOME", "");
  const du::Localizer noHome(resource.c_str());
  const std::string unread = "Couldn't read strings file resource \"";
  EXPECT_EQ(Traces(),
            (std::vector<std::string>{
                "W Failed to load string resource file\"" + Path("german", broken) +
                    "\" (No recognizable content.).",
                "W " + unread + Path("german", missing) + "\".",
                "W " + unread + Path("german", name) + "\".",
                "E Localizer():- " + unread + Path("usascii", name) + "\".",
                "E Localizer():- resource \"no colon\" appears to not be in "
                "<product>:<resource> format.",
                "E Localizer():- Couldn't find a strings file for resource \"" + resource + "\".",
            }));

  environment_.Set("QUILL_HOME", root_.path());
  Write("usascii", name, "hello.value=Hello\n");
  EXPECT_EQ(du::Localizer(resource.c_str()).LocalizeMessage("hello"), "Hello");
}

TEST_F(LocalizerTest, PseudoLocalizationReadsTheCurrentLanguageFileOnly) {
  environment_.Set("QUILL_LANG", "Pseudo");
  const std::string name = Fresh("pseudo");
  Write("usascii", name, "hello.value=Hi {0}\n");
  EXPECT_EQ(du::Localizer(("prod:" + name).c_str())
                .LocalizeMessage("hello", du::AssembleArgs("%s", "Bo")),
            "[H\xC3\xAD Bo\xE3\x82\xBD]");

  // No English file is tried, so nothing but the failure is traced.
  const std::string absent = "prod:" + Fresh("absent");
  const du::Localizer empty(absent.c_str());
  const std::string failure = "E Localizer():- Couldn't find a strings file for resource \"";
  EXPECT_EQ(Traces(), std::vector<std::string>{failure + absent + "\"."});
}

TEST(AssembleArgsTest, FromAFormatAndFromTheStream) {
  // Not a literal: the compiler would refuse the unknown conversion %k.
  const std::string format = "n=%d, %s; %5.1f%% %k %x";
  EXPECT_EQ(du::AssembleArgs(format.c_str(), 42, "text", 2.5, 255).GetArgs(),
            (Args{"42", "text", "  2.5", "%", "", "ff"}));
  EXPECT_TRUE(du::AssembleArgs(static_cast<const char*>(nullptr)).GetArgs().empty());

  du::AssembleArgs streamed;
  streamed << std::hex << 255 << "" << std::string("s") << std::setw(4) << std::setfill('.') << 7
           << std::endl
           << static_cast<const char*>(nullptr) << 'c';
  // Manipulators, the empty text and the failed null write add nothing.
  EXPECT_EQ(streamed.GetArgs(), (Args{"ff", "s", "...7", "\n", "c"}));

  struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return '\''; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale grouped(std::locale::classic(), new Grouping);
  EXPECT_EQ((du::AssembleArgs(grouped) << 1234567).GetArgs(), Args{"1'234'567"});
}

// The settings are read once per process; each case reads them again.
class PseudoLocalizeTest : public ::testing::Test {
 protected:
  PseudoLocalizeTest() { Reload("", ""); }
  ~PseudoLocalizeTest() override { Reload("", ""); }
  void Reload(const std::string& tail, const std::string& replace) {
    environment_.Set("PIGLATIN_TAIL", tail).Set("PIGLATIN_REPLACE_CHARS", replace);
    du::pseudo_localization::ReloadSettingsForTesting();
  }
  qmk_test::ScopedEnvironment environment_;
};

std::string Corrupt(const std::string& text) { return du::CorruptMessage(text); }

TEST_F(PseudoLocalizeTest, WordsMarkupPlaceholdersSplitsAnswersAndSettings) {
  const std::string one = kTail.substr(0, 3), two = kTail.substr(0, 6);
  EXPECT_EQ(Corrupt("Hello, AEIOU aeiou!"),
            "[H\xC3\xA9ll\xC3\xB3, \xC3\x81\xC3\x89\xC3\x8D\xC3\x96"
            "\xC3\x9A \xC3\xA1\xC3\xA9\xC3\xAD\xC3\xB3\xC3\xBC!" +
                kTail.substr(0, 9) + "]");
  EXPECT_EQ(Corrupt("<b>bold</b> a\t\n %%done a%%e"),
            "[<b>bold</b> \xC3\xA1\t\n %%done \xC3\xA1%%\xC3\xA9" + kTail.substr(0, 15) + "]");
  EXPECT_EQ(Corrupt("{0} of {1}"), std::string("[{0} \xC3\xB3") + "f {1}" + two + "]");
  EXPECT_EQ(Corrupt("Open|||a e"), "[\xC3\x96p\xC3\xA9n" + two + "]|||a e");
  EXPECT_EQ(Corrupt("|||"), "[" + one + "]|||");
  EXPECT_EQ(Corrupt(""), "[" + one + "]");
  for (const std::string yes : {"yes", "YES", "SPG ANSWER YES"}) EXPECT_EQ(Corrupt(yes), "YES");
  for (const std::string no : {"no", "NO", "SPG ANSWER NO"}) EXPECT_EQ(Corrupt(no), "NO");
  EXPECT_EQ(Corrupt("Yes"), "[Y\xC3\xA9s" + one + "]");

  // The tail takes a fifth of the length, from 1 to 11 units.
  for (std::size_t length = 0; length <= 70; ++length) {
    const std::size_t expected = std::min<std::size_t>(std::max<std::size_t>(length / 5, 1), 11);
    EXPECT_EQ(du::CorruptMessage(std::wstring(length, L'x')),
              L"[" + std::wstring(length, L'x') + kWideTail.substr(0, expected) + L"]")
        << length;
  }

  // The environment's tail is repeated as needed; only "false" turns the replacement off.
  const std::string abe = "ab\xC3\xA9";
  Reload(abe, "FALSE");
  std::string accented;
  for (int i = 0; i < 60; ++i) accented += "\xC3\xBC";
  EXPECT_EQ(Corrupt(std::string(60, 'u')), "[" + accented + abe + abe + abe + "ab]");
}

TEST(LocalizerRace, OneImplementationPerNameWhileThreadsLocalize) {
  qmk_test::TempDir root;
  qmk_test::ScopedEnvironment environment;
  environment.Set("QUILL_HOME", root.path()).Set("QUILL_LANG", "fr");
  constexpr int kNames = 4, kThreads = 8, kIterations = 200;
  std::vector<std::string> names;
  // No French file: each build traces one warning.
  std::filesystem::create_directories(root / "resources/prod/text/usascii");
  for (int i = 0; i < kNames; ++i) {
    names.push_back(Fresh("race"));
    qmk_test::WriteFile(root / ("resources/prod/text/usascii/" + names.back() + ".qmtrb"),
                        std::string("m.value=") + std::to_string(i) + ":{0}\n");
  }
  qmk_test::ScopedTraceRecorder recorder;
  std::atomic<int> wrong{0};
  qmk_test::RunThreads(kThreads, [&](int t) {
    for (int i = 0; i < kIterations; ++i) {
      const int which = (t + i) % kNames;
      const du::Localizer localizer(("prod:" + names[which]).c_str());
      const du::Localizer copy = localizer;
      const std::string expected = std::to_string(which) + ":" + std::to_string(i);
      if (copy.LocalizeMessage("m", du::AssembleArgs() << i) != expected) ++wrong;
    }
  });
  EXPECT_EQ(wrong.load(), 0);
  int warnings = 0;
  for (const auto& record : recorder.log().Records()) warnings += record.type == dp::Warning;
  EXPECT_EQ(warnings, kNames);
}

// A child forked while another thread loads resources can load its own.
TEST(LocalizerRace, ChildrenForkedWhileResourcesLoadCanLocalize) {
#if defined(QMK_TEST_ADDRESS_SANITIZER)
  GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
#if defined(QMK_TEST_THREAD_SANITIZER)
  constexpr int kChildren = 10;
#else
  constexpr int kChildren = 100;
#endif
  qmk_test::TempDir root;
  qmk_test::ScopedEnvironment environment;
  environment.Set("QUILL_HOME", root.path()).Set("QUILL_LANG", "en");
  std::filesystem::create_directories(root / "resources/prod/text/usascii");
  qmk_test::WriteFile(root / "resources/prod/text/usascii/child.qmtrb", "m.value=ok\n");

  std::atomic<bool> stop{false};
  // Resources without files are loaded afresh each time, under the lock.
  std::thread busy([&stop] {
    for (int n = 0; !stop.load(std::memory_order_relaxed); ++n) {
      const du::Localizer missing((std::string("prod:missing") + std::to_string(n % 8)).c_str());
    }
  });
  int failed = 0;
  for (int i = 0; i < kChildren && failed < 2; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(du::Localizer("prod:child").LocalizeMessage("m") == "ok" ? 0 : 1);
    const int status = qmk_test::Reap(pid, std::chrono::seconds(10));
    failed += status != 0;
    EXPECT_EQ(status, 0) << "child " << i;
  }
  stop = true;
  busy.join();
}

}  // namespace
