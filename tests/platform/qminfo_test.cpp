#include "qmkutils/platform/qminfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "qmkutils/platform/environment.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;
using dp::QmInfo;

const std::string kStation = "[Software\\Zembra\\Quillmark Station]\n";
const std::string kPocket = "[Software\\Zembra\\Quillmark Pocket]\n";
const std::string kCourier = "[Software\\Zembra\\Quillmark Courier]\n";
const std::string kNone = "false:(untouched)";

// A getter's text, or "false:" and what it left in its output.
template <class... Args>
std::string Got(bool (*getter)(std::string*, const Args&...), const Args&... args) {
  std::string out = "(untouched)";
  return getter(&out, args...) ? out : "false:" + out;
}

std::string Home(const std::string& product = "", const std::string& variable = "") {
  return Got(QmInfo::GetHomePath, product, variable);
}

// A fresh registry store: the current user's file below user/, the local
// machine's in system/, the second of three configuration directories.
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
}

TEST_F(QmInfoHome, StoreSyntaxIsToleratedAndMalformedFilesAreSkippedNotFatal) {
  // BOM, CRLF, comments, blanks, any case; the last assignment wins; "@" is
  // the default value, not InstallationPath.
  Write("system",
        "\xEF\xBB\xBF; InstallationPath=/comment\r\n"
        "[ software\\ZEMBRA\\quillmark station ]\r\n"
        "# InstallationPath=/comment\r\n"
        "@=/default\r\n"
        "  installationPATH = /first  \r\n"
        "INSTALLATIONPATH=/opt/q\r\n");
  EXPECT_EQ(Home(), "/opt/q");
  Write("system", kStation + "@=/default\n");
  EXPECT_EQ(Home(), kNone);

  Write("system", "\x01\xFF junk\n" + kStation + "no equals sign\n=/no/name\n" +
                      "InstallationPath=/after/junk\nInstallationPath=/a\0b\n"s + kPocket +
                      "\n[Software");
  EXPECT_EQ(Home(), "/after/junk");
  // The lines after an unterminated header belong to no key.
  Write("system", kStation + "[Software\\Zembra\\Quillmark Pocket\nInstallationPath=/x\n");
  EXPECT_EQ(Home(), kNone);

  // Files up to 1 MiB are read, larger ones are refused.
  std::string text = kStation + "InstallationPath=/big\n";
  text.append((1 << 20) - text.size() - 1, ';').push_back('\n');
  Write("system", text);
  EXPECT_EQ(Home(), "/big");
  Write("system", text + ";");
  EXPECT_EQ(Home(), kNone);

  // Only the first local-machine file counts; a FIFO as the user's is skipped.
  Write("later", kStation + "InstallationPath=/later\n");
  EXPECT_EQ(Home(), kNone);
  std::filesystem::remove(StoreFile("system"));
  EXPECT_EQ(Home(), "/later");
  ASSERT_EQ(::mkfifo(StoreFile("user").c_str(), 0600), 0);
  EXPECT_EQ(Home(), "/later");
  // Without XDG_CONFIG_HOME the current user's file is below $HOME/.config.
  environment_.Set("XDG_CONFIG_HOME", "");
  Write("home/.config", kStation + "InstallationPath=/home/config");
  EXPECT_EQ(Home(), "/home/config");
}

TEST_F(QmInfoHome, DirectoriesBelowTheHomeTheirCataloguesAndTheTraceStyleSheet) {
  // Without a home everything below it fails, leaving the output alone.
  EXPECT_EQ(Got(QmInfo::GetDllPath), kNone);
  EXPECT_EQ(Got(QmInfo::GetPrimaryQmtrbFile, "v"s, "messages"s), kNone);

  // Only the Courier key gives the home here.
  Write("system", kCourier + "InstallationPath=/apps/courier\\\n");
  EXPECT_EQ(Got(QmInfo::GetPlatformPath), "/apps/courier/x86e_linux");
  EXPECT_EQ(Got(QmInfo::GetBinPath, "Custom"s, "QMK_TEST_HOME"s), "/apps/courier/bin");

  environment_.Set("QUILL_HOME", "/apps/q/").Set("QUILL_LANG", "de");
  const std::pair<std::string, std::string> below[] = {
      {Got(QmInfo::GetDllPath), "x86e_linux/obj"},
      {Got(QmInfo::GetQuillAdminPrefsDir), "preferences/Quillmark"},
      {Got(QmInfo::GetProductTextDir, "v"s), "resources/v/text"},
      {Got(QmInfo::GetLocalizedProductTextResourceDir, "v"s), "resources/v/text/resource/german"},
      {Got(QmInfo::GetLocalizedProductTextDir, "v"s, "zh_TW"s), "resources/v/text/chinese_tw"},
      {Got(QmInfo::GetLocalizedProductResourceDir, "v"s, "ja"s), "resources/v/resource/japanese"},
      {Got(QmInfo::GetPrimaryQmtrbFile, "v"s, "messages"s),
       "resources/v/text/german/messages.qmtrb"},
      {Got(QmInfo::GetFallbackQmtrbFile, "v"s, "messages"s),
       "resources/v/text/usascii/messages.qmtrb"}};
  for (const auto& [got, path] : below) EXPECT_EQ(got, "/apps/q/" + path);

  // An unknown language is refused when named, the file falls back to usascii.
  environment_.Set("QUILL_LANG", "xx");
  EXPECT_EQ(Got(QmInfo::GetLanguageOffset, "xx"s), kNone);
  EXPECT_EQ(Got(QmInfo::GetLocalizedProductTextDir, "v"s, "xx"s), kNone);
  EXPECT_EQ(Got(QmInfo::GetPrimaryQmtrbFile, "v"s, "messages"s),
            "/apps/q/resources/v/text/usascii/messages.qmtrb");

  for (const auto& [home, expected] :
       {std::pair{"/apps/q/", "file:///apps/q/qmtrace/qmtrace.xsl"},
        std::pair{"/", "file:///qmtrace/qmtrace.xsl"},
        std::pair{"C:\\Apps\\Q", "file:///C:/Apps/Q/qmtrace/qmtrace.xsl"}}) {
    dp::Environment::Put("QUILL_HOME", home);
    EXPECT_EQ(Got(QmInfo::GetQmTraceXslFile), expected);
  }
}

TEST_F(QmInfoHome, SystemLanguageAndPseudoLocalization) {
  environment_.Set("QUILL_LANG", "").Set("LC_ALL", "").Set("LC_MESSAGES", "").Set("LANG", "");
  EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), "en");
  for (const auto& [locale, language] :
       {std::pair{"zh_SG.UTF-8", "zh_CN"}, std::pair{"zh_CN.GB18030", "zh_CN"},
        std::pair{"zh_TW", "zh_TW"}, std::pair{"zh", "en"}, std::pair{"de_DE.UTF-8@euro", "de"},
        std::pair{"ru_UA", "ru"}, std::pair{"ja_JP.eucJP", "ja"}, std::pair{"pt_BR.UTF-8", "en"},
        std::pair{"C.UTF-8", "en"}, std::pair{"POSIX", "en"}}) {
    environment_.Set("LANG", locale);
    EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), language) << locale;
  }
  // LC_ALL before LC_MESSAGES before LANG; QUILL_LANG before all of them.
  environment_.Set("LC_MESSAGES", "fr_FR.UTF-8");
  EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), "fr");
  environment_.Set("LC_ALL", "ko_KR.UTF-8");
  EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), "ko");
  EXPECT_EQ(Got(QmInfo::GetLanguageOffset), "/korean");
  EXPECT_FALSE(QmInfo::GetDoingPseudoLocalization());
  environment_.Set("QUILL_LANG", "PSEUDO");
  EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), "PSEUDO");
  EXPECT_TRUE(QmInfo::GetDoingPseudoLocalization());
  environment_.Set("QUILL_LANG", "pseudox");
  EXPECT_FALSE(QmInfo::GetDoingPseudoLocalization());
}

TEST_F(QmInfoHome, PreferencesSessionFontsAndAdapters) {
  du::Symbol dir;
  EXPECT_TRUE(QmInfo::GetQuillUserPrefsDir(dir) && dir == root_ / "user/zembra/Quillmark");
  environment_.Set("XDG_CONFIG_HOME", "relative/config");
  EXPECT_EQ(Got(QmInfo::GetQuillUserPrefsDir), root_ / "home/.config/zembra/Quillmark");
  environment_.Set("HOME", "");
  EXPECT_EQ(Got(QmInfo::GetQuillUserPrefsDir), kNone);

  environment_.Set("QUILL_TEMP", "/q/temp/").Set("TMPDIR", "/var/t");
  environment_.Set("QM_FONT_LIST", "/f/list.txt").Set("QM_FONT_FILE", "Serif");
  EXPECT_EQ(Got(QmInfo::GetQuillSessionDirectory), "/q/temp/username/quill");
  EXPECT_EQ(Got(QmInfo::GetQuillFontListFile), "/f/list.txt");
  EXPECT_EQ(Got(QmInfo::GetQuillPreferedFont), "Serif");
  environment_.Set("QUILL_TEMP", "");
  EXPECT_EQ(Got(QmInfo::GetQuillSessionDirectory), "/var/t/username/quill");

  std::map<du::Symbol, du::Symbol> adapters{{"kept", "/k.so"}};
  EXPECT_FALSE(QmInfo::GetAdapterPaths(adapters));
  const std::string key = "[Software\\Zembra\\Quillmark Station\\ImportFilters]\n";
  Write("user", key + "User=/u.so\n");  // only the local machine's key counts
  Write("system", key + "PDF=/f/pdf.so\nTiFF = /f/tiff.so\n" + std::string(16384, 'n') + "=/x\n");
  EXPECT_TRUE(QmInfo::GetAdapterPaths(adapters));
  const std::map<du::Symbol, du::Symbol> expected{
      {"kept", "/k.so"}, {"pdf", "/f/pdf.so"}, {"tiff", "/f/tiff.so"}};
  EXPECT_EQ(adapters, expected);
}

}  // namespace
