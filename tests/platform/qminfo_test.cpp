#include "qmkutils/platform/qminfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "qmkutils/platform/environment.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

const std::string kStation = "[Software\\Zembra\\Quillmark Station]\n";
const std::string kPocket = "[Software\\Zembra\\Quillmark Pocket]\n";
const std::string kCourier = "[Software\\Zembra\\Quillmark Courier]\n";

// Points the registry store at a fresh tree: the current user's file below
// user/, the local machine's in system/, the second of three configuration
// directories (the first has none).
class QmInfoHome : public ::testing::Test {
 protected:
  QmInfoHome() {
    environment_.Set("QUILL_HOME", "").Set("QMK_TEST_HOME", "").Set("HOME", root_ / "home");
    environment_.Set("XDG_CONFIG_HOME", root_ / "user")
        .Set("XDG_CONFIG_DIRS", root_ / "none" + ":" + root_ / "system" + ":" + root_ / "later");
  }

  std::string StoreFile(const std::string& configDir) {
    std::filesystem::create_directories(root_ / configDir + "/zembra");
    return root_ / configDir + "/zembra/registry.ini";
  }
  void Write(const std::string& configDir, const std::string& text) {
    qmk_test::WriteFile(StoreFile(configDir), text);
  }

  static std::string Home(const std::string& product = "", const std::string& variable = "") {
    std::string out = "(none)";
    dp::QmInfo::GetHomePath(&out, product, variable);
    return out;
  }

  qmk_test::TempDir root_;
  qmk_test::ScopedEnvironment environment_;
};

TEST_F(QmInfoHome, VariableFirstThenKeysInOrderEachCurrentUserBeforeLocalMachine) {
  Write("system", kStation + "InstallationPath=\n" + kPocket + "Other=/x\n" + kCourier +
                      "InstallationPath=C:\\Apps\\Courier\\\n");
  EXPECT_EQ(Home(), "C:/Apps/Courier");
  Write("system", kStation + "InstallationPath=/lm/station\n" + kCourier +
                      "InstallationPath=/lm/courier\n[Software\\Zembra\\Custom]\n" +
                      "InstallationPath=/lm/custom\n");
  Write("user", kCourier + "InstallationPath=/cu/courier\n");
  EXPECT_EQ(Home(), "/lm/station");
  EXPECT_EQ(Home("Custom"), "/lm/custom");
  EXPECT_EQ(Home("Unknown"), "/cu/courier");
  Write("user", kStation + "InstallationPath=/cu/station\n");
  EXPECT_EQ(Home(), "/cu/station");

  dp::Environment::Put("QUILL_HOME", "C:\\Apps\\Q\\");
  EXPECT_EQ(Home(), "C:/Apps/Q");
  // A named variable replaces QUILL_HOME; unset, it falls back to the store.
  EXPECT_EQ(Home("", "QMK_TEST_HOME"), "/cu/station");
  dp::Environment::Put("QMK_TEST_HOME", "/custom/");
  EXPECT_EQ(Home("", "QMK_TEST_HOME"), "/custom");
  EXPECT_FALSE(dp::QmInfo::GetHomePath(nullptr, "", ""));
}

TEST_F(QmInfoHome, TraceStyleSheetUrl) {
  std::string url;
  EXPECT_FALSE(dp::QmInfo::GetQmTraceXslFile(&url));
  EXPECT_FALSE(dp::QmInfo::GetQmTraceXslFile(nullptr));
  for (const auto& [home, expected] : std::map<std::string, std::string>{
           {"/opt/q/", "file:///opt/q/qmtrace/qmtrace.xsl"},
           {"/", "file:///qmtrace/qmtrace.xsl"},
           {"C:\\Apps\\Q", "file:///C:/Apps/Q/qmtrace/qmtrace.xsl"}}) {
    dp::Environment::Put("QUILL_HOME", home);
    ASSERT_TRUE(dp::QmInfo::GetQmTraceXslFile(&url));
    EXPECT_EQ(url, expected);
  }
}

TEST_F(QmInfoHome, StoreSyntax) {
  // Byte order mark, CRLF, comments, blanks, case-insensitive names; the last
  // assignment wins; the default value is not a value named InstallationPath.
  Write("system",
        "\xEF\xBB\xBF; InstallationPath=/comment\r\n"
        "[ software\\ZEMBRA\\quillmark station ]\r\n"
        "# InstallationPath=/comment\r\n"
        "@=/default\r\n"
        "  installationPATH = /first  \r\n"
        "INSTALLATIONPATH=/opt/q\r\n");
  EXPECT_EQ(Home(), "/opt/q");
  Write("system", kStation + "@=/default\n");
  EXPECT_EQ(Home(), "(none)");
  // Without XDG_CONFIG_HOME the current user's file is below $HOME/.config.
  environment_.Set("XDG_CONFIG_HOME", "");
  Write("home/.config", kStation + "InstallationPath=/home/config");
  EXPECT_EQ(Home(), "/home/config");
}

TEST_F(QmInfoHome, MalformedStoreFilesAreSkippedNotFatal) {
  Write("system", "\x01\xFF junk\n" + kStation + "no equals sign\n=/no/name\n" +
                      "InstallationPath=/after/junk\nInstallationPath=/a\0b\n"s + kPocket +
                      "\n[Software");
  EXPECT_EQ(Home(), "/after/junk");

  // The lines after an unterminated header belong to no key.
  Write("system", kStation + "[Software\\Zembra\\Quillmark Pocket\nInstallationPath=/x\n");
  EXPECT_EQ(Home(), "(none)");

  // Files up to 1 MiB are read, larger ones are refused.
  std::string text = kStation + "InstallationPath=/big\n";
  text.append((1 << 20) - text.size() - 1, ';').push_back('\n');
  Write("system", text);
  EXPECT_EQ(Home(), "/big");
  Write("system", text + ";");
  EXPECT_EQ(Home(), "(none)");

  // Only the first local-machine file found counts; a FIFO in the current
  // user's place is ignored without blocking.
  Write("later", kStation + "InstallationPath=/later\n");
  EXPECT_EQ(Home(), "(none)");
  std::filesystem::remove(StoreFile("system"));
  EXPECT_EQ(Home(), "/later");
  ASSERT_EQ(::mkfifo(StoreFile("user").c_str(), 0600), 0);
  EXPECT_EQ(Home(), "/later");
}

}  // namespace
