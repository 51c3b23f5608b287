// `qmk bom`, run as a separate process on a temporary installation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "installer/scratch_home.h"
#include "support/child_process.h"

namespace {

constexpr char kExtraBom[] = "p extra.bom\ni 2.0\nb 1.0.0.9\nl lib/extra.so\nP\n";

class QmkBom : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {QMK_TEST_TOOL, "bom"});
    return qmk_test::RunCommand(arguments, &out_, &err_);
  }

  void WriteBoms(const std::string& folder) {
    scratch_.Write(folder + "/app.bom",
                   "p app.bom\ni 1.2\nb 1.0.0.3\ne bin/app\nd 1.0 1.0.0.1 base.bom\nP\n");
    scratch_.Write(folder + "/base.bom", "p base.bom\ni 1.0\nb 1.0.0.1\nl lib/base.so\nP\n");
  }

  qmk_test::ScratchHome scratch_;
  const std::string home_ = scratch_.home();
  std::string out_, err_;
};

TEST_F(QmkBom, StatusShowsInstalledUpdatesAndDownloads) {
  WriteBoms("bom/app");
  EXPECT_EQ(Run({"status", "--package", "app"}), 0) << err_;
  const std::string installed =
      "installed app.bom version 1.2 build 1.0.0.3 file bin/app program\n"
      "installed base.bom version 1.0 build 1.0.0.1 file lib/base.so\n";
  EXPECT_EQ(out_, "home " + home_ + "\nbom directory " + home_ + "/bom/app\n" + installed);

  // The list updates app and brings two new packages, which must be
  // downloaded in the order of their names.
  const std::string list = scratch_ / "list";
  qmk_test::WriteFile(list,
                      "p app.bom\ni 1.3\nb 1.0.0.4\ne bin/app\nP\n"
                      "p zeta.bom\ni 1.0\nb 1.0.0.0\nl lib/zeta.so\nP\n"
                      "p extra.bom\ni 1.0\nb 1.0.0.0\nl lib/extra.so\nP\n");
  EXPECT_EQ(Run({"status", "--package", "app", "--list", list}), 0) << err_;
  EXPECT_NE(out_.find(installed + "update app.bom build 1.0.0.3 to 1.0.0.4\n" +
                      "download extra.bom " + list + "/x86e_linux/extra.zip\n" +
                      "download zeta.bom " + list + "/x86e_linux/zeta.zip\n"),
            std::string::npos)
      << out_;

  // A build newer than the installed ones is refused in words.
  EXPECT_EQ(Run({"status", "--package", "app", "--build", "1.0.0.4"}), 1);
  EXPECT_NE(err_.find("not compatible"), std::string::npos) << err_;

  // Without a package name the boms lie in home/bom itself.
  WriteBoms("bom");
  EXPECT_EQ(Run({"status"}), 0) << err_;
  EXPECT_NE(out_.find(installed), std::string::npos) << out_;
  // A dependency that no record names leaves its package unavailable.
  std::remove((home_ + "/bom/base.bom").c_str());
  EXPECT_EQ(Run({"status"}), 0) << err_;
  EXPECT_NE(out_.find("unavailable app.bom\n"), std::string::npos) << out_;
}

TEST_F(QmkBom, InstallsAnArchiveBelowTheHome) {
  WriteBoms("bom/app");
  const std::string archive =
      scratch_.Archive("extra.zip", {{"bom/app/extra.bom", kExtraBom}, {"lib/extra.so", "x"}});
  EXPECT_EQ(Run({"install", archive, "--package", "app"}), 0) << err_;
  EXPECT_EQ(out_, "installed extra.bom version 2.0 build 1.0.0.9 file lib/extra.so\n");
  EXPECT_EQ(qmk_test::ReadFile(home_ + "/lib/extra.so"), "x");
}

TEST_F(QmkBom, SaysWhyAnArchiveCannotBeInstalled) {
  const std::string escaping = scratch_.Archive(
      "extra.zip", {{"bom/extra.bom", kExtraBom}, {"lib/a.so", "x"}, {"../outside", "x"}});
  EXPECT_EQ(Run({"install", escaping}), 1);
  EXPECT_NE(err_.find("../outside"), std::string::npos) << err_;

  mkdir((home_ + "/quill_lock").c_str(), 0755);
  EXPECT_EQ(Run({"install",
                 scratch_.Archive("extra.zip", {{"bom/extra.bom", kExtraBom}, {"lib/a.so", "x"}})}),
            1);
  EXPECT_NE(err_.find("locked"), std::string::npos) << err_;
  rmdir((home_ + "/quill_lock").c_str());

  qmk_test::WriteFile(scratch_ / "broken.zip", "PK not an archive");
  EXPECT_EQ(Run({"install", scratch_ / "broken.zip"}), 1);
  EXPECT_NE(err_.find("cannot open"), std::string::npos) << err_;
  // An archive without the package's bom leaves it uninstalled.
  EXPECT_EQ(Run({"install", scratch_.Archive("other.zip", {{"lib/a.so", "x"}})}), 1);
  EXPECT_NE(err_.find("other.bom has no installed side"), std::string::npos) << err_;
}

TEST_F(QmkBom, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"frob"},
                                             {"status", "--package"},
                                             {"status", "--build", "1.2.3.4x"},
                                             {"install", "a.zip", "b.zip"},
                                             {"install", "a.zip", "--list", "file"}}) {
    EXPECT_EQ(Run(arguments), 2) << arguments.size();
    EXPECT_NE(err_.find("Usage: qmk bom"), std::string::npos) << err_;
  }
}

}  // namespace
