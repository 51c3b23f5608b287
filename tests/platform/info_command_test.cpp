// `qmk info`, run as a separate process: a fresh process also shows the
// language trace that only the first language query of a process writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class QmkInfo : public ::testing::Test {
 protected:
  QmkInfo() {
    environment_.Set("QUILL_HOME", "").Set("QUILL_LANG", "").Set("QUILL_PROC_TRACE", "");
    environment_.Set("QUILL_TRACE", "stderr").Set("LC_ALL", "").Set("LC_MESSAGES", "");
    environment_.Set("XDG_CONFIG_HOME", root_ / "user").Set("XDG_CONFIG_DIRS", root_ / "system");
    // A process that has traced ends with its trace controller still
    // allocated; a leak check at exit would make that the exit status.
    environment_.Set("ASAN_OPTIONS", "detect_leaks=0");
  }

  int Run() { return qmk_test::RunCommand({QMK_TEST_TOOL, "info"}, &out_, &err_); }

  void ExpectLines(const std::vector<std::string>& parts) const {
    for (const std::string& part : parts) EXPECT_NE(out_.find(part), std::string::npos) << part;
  }

  qmk_test::TempDir root_;
  qmk_test::ScopedEnvironment environment_;
  std::string out_, err_;
};

TEST_F(QmkInfo, SaysWhereTheHomeCameFromOrWhatWasLookedAtAndTheLanguagesSource) {
  EXPECT_EQ(Run(), 1) << out_ << err_;
  ExpectLines({"Installation home:   not found\n", "QUILL_HOME (unset or empty)",
               root_ / "user/zembra/registry.ini", root_ / "system/zembra/registry.ini",
               "Admin preferences:   (no installation home)\n", "OS version:"});
  for (const std::string key : {"Station", "Pocket", "Courier"}) {
    ExpectLines(
        {"key tried:         Software\\Zembra\\Quillmark " + key + " (value InstallationPath)\n"});
  }

  environment_.Set("QUILL_HOME", root_.path() + "/").Set("QUILL_LANG", "xx");
  EXPECT_EQ(Run(), 0) << out_ << err_;
  ExpectLines({"Installation home:   " + root_.path() + "\n", "environment variable QUILL_HOME\n",
               "Platform:            x86e_linux\n", "Language:            xx (from QUILL_LANG)\n",
               "Language offset:     /usascii\n",
               "Admin preferences:   " + root_.path() + "/preferences/Quillmark\n",
               "User preferences:    " + root_ / "user/zembra/Quillmark\n", "Session directory:"});
  EXPECT_EQ(Count(err_, "utils QmInfo Overriding system language to \"xx\"."), 1u) << err_;
  EXPECT_EQ(Count(err_, "system language"), 1u) << err_;

  environment_.Set("QUILL_HOME", "").Set("QUILL_LANG", "").Set("LANG", "zh_HK.UTF-8");
  std::filesystem::create_directories(root_ / "system/zembra");
  qmk_test::WriteFile(root_ / "system/zembra/registry.ini",
                      "[Software\\Zembra\\Quillmark Courier]\nInstallationPath=C:\\Q\\\n");
  EXPECT_EQ(Run(), 0) << out_ << err_;
  ExpectLines(
      {"Installation home:   C:/Q\n", "local machine, key Software\\Zembra\\Quillmark Courier",
       root_ / "system/zembra/registry.ini\n", "Language:            en (system language)\n"});
  EXPECT_EQ(Count(err_, "utils QmInfo Using system language\"en\"."), 1u) << err_;
}

}  // namespace
