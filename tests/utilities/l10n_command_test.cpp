// `qmk l10n`, run as a separate process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using testing::HasSubstr;

class QmkL10n : public ::testing::Test {
 protected:
  QmkL10n() {
    environment_.Set("PIGLATIN_TAIL", "").Set("PIGLATIN_REPLACE_CHARS", "");
    environment_.Set("QUILL_TRACE", "").Set("QUILL_PROC_TRACE", "");
  }

  int Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {QMK_TEST_TOOL, "l10n"});
    return qmk_test::RunCommand(arguments, &out_, &err_);
  }

  std::string File(const std::string& name, const std::string& text) {
    qmk_test::WriteFile(dir_ / name, text);
    return dir_ / name;
  }

  qmk_test::TempDir dir_;
  qmk_test::ScopedEnvironment environment_;
  std::string out_, err_;
};

// The report on `file`: its problems, then its summary.
std::string Report(const std::string& file, const std::vector<std::string>& problems,
                   const std::string& summary) {
  std::string report;
  for (const std::string& problem : problems) report += file + ":" + problem + "\n";
  return report + file + ": " + summary + "\n";
}

TEST_F(QmkL10n, CheckReportsEveryProblemWithItsLine) {
  const std::string clean =
      File("clean.qmtrb", "\xEF\xBB\xBF# c\r\na.value=A {0}\r\nb.value=B\r\n");
  EXPECT_EQ(Run({"check", clean}), 0) << err_;
  EXPECT_EQ(out_, Report(clean, {}, "loads: 2 messages, no problems"));

  const std::string warned = File("warned.qmtrb", "b.value={1}\n");
  EXPECT_EQ(Run({"check", warned}), 3) << err_;
  EXPECT_EQ(out_, Report(warned,
                         {"1: warning: tag \"b\" uses no placeholder for argument {0}, yet callers "
                          "must pass 2 arguments"},
                         "loads: 1 message, 1 warning"));

  const std::string broken = File("broken.qmtrb",
                                  "a.value=1\n\nno dot\nb.no equals\na.value=2\nc.valeu=x\n"
                                  "d.value={x} {} {5} {3 {4000000000} {2}\n.value=\n\n");
  EXPECT_EQ(Run({"check", broken}), 1) << err_;
  const std::string d = "7: warning: tag \"d\"";
  EXPECT_EQ(
      out_,
      Report(broken,
             {"2: error: blank line; only the last line of the file may be blank",
              "3: error: malformed line: no \".\" after the tag (expected tag.attribute=value; "
              "comments begin with \"#\")",
              "4: error: malformed line: no \"=\" after the attribute name (expected "
              "tag.attribute=value)",
              "5: error: duplicate tag \"a\" (first on line 1)",
              "6: warning: attribute \"valeu\" is not \"value\"; only \"value\" entries make "
              "messages, so this entry is ignored",
              d + ": \"{x}\" is not a placeholder (only digits may stand between the braces) "
                  "and stays as text",
              d + ": \"{}\" has no argument number, so it is not a placeholder and stays as text",
              d + ": \"{3 \": this \"{\" is never closed by \"}\", so it stays as text",
              d + ": \"{4000000000}\": the argument number is above 2147483646, so it stays as "
                  "text",
              d + " uses no placeholder for arguments {0} to {1}, {3} to {4}, yet callers must "
                  "pass 6 arguments",
              "8: warning: empty tag"},
             "does not load: Failed to load string resource file\"" + broken +
                 "\" (No recognizable content.)."));

  EXPECT_EQ(Run({"check", File("other.qmtrb", "a.name=x\n")}), 1);
  EXPECT_THAT(out_, HasSubstr(": error: no entry has the attribute \"value\""));
  EXPECT_EQ(Run({"check", dir_ / "missing"}), 1);
  EXPECT_THAT(out_, HasSubstr("Couldn't read strings file resource \"" + dir_ / "missing" + "\"."));
  for (const std::vector<std::string>& usage : std::vector<std::vector<std::string>>{
           {"check"}, {"check", clean, clean}, {"show", clean}, {"pseudo"}, {"frobnicate"}})
    EXPECT_EQ(Run(usage), 2) << usage.size();
  EXPECT_THAT(err_, HasSubstr("Usage: qmk l10n check FILE"));
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_THAT(out_, HasSubstr("  l10n check FILE   Check a strings file"));
}

TEST_F(QmkL10n, ShowBuildsAMessageAndPseudoCorruptsTexts) {
  const std::string file = File("m.qmtrb", "greet.value=Hello {0}, {1}!\\n\n");
  EXPECT_EQ(Run({"show", file, "greet", "Ann", "Bob"}), 0) << err_;
  EXPECT_EQ(out_, "Hello Ann, Bob!\n\n");
  EXPECT_EQ(Run({"show", file, "nope"}), 1);
  EXPECT_EQ(err_, "qmk l10n show: Unknown tag \"nope\".\n");

  environment_.Set("PIGLATIN_TAIL", "~").Set("PIGLATIN_REPLACE_CHARS", "false");
  EXPECT_EQ(Run({"pseudo", "Hello there", "no", "a|||b"}), 0) << err_;
  EXPECT_EQ(out_, "[Hello there~~]\nNO\n[a~]|||b\n");
}

}  // namespace
