#include "qmkutils/platform/qminfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/homesearch.h"
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

namespace {

std::string Got(bool (*getter)(std::string*)) {
  std::string out = "(untouched)";
  return getter(&out) ? out : "false:" + out;
}

std::string GotFor(bool (*getter)(std::string*, const std::string&), const std::string& product) {
  std::string out = "(untouched)";
  return getter(&out, product) ? out : "false:" + out;
}

std::string GotFor(bool (*getter)(std::string*, const std::string&, const std::string&),
                   const std::string& a, const std::string& b) {
  std::string out = "(untouched)";
  return getter(&out, a, b) ? out : "false:" + out;
}

using dp::QmInfo;

TEST_F(QmInfoHome, DirectoriesBelowTheHomeAndTheirCatalogues) {
  for (auto getter : {QmInfo::GetPlatformPath, QmInfo::GetDllPath, QmInfo::GetJavaClassPath,
                      QmInfo::GetQuillFontDir, QmInfo::GetQuillAdminPrefsDir}) {
    EXPECT_EQ(Got(getter), "false:(untouched)");
    EXPECT_FALSE(getter(nullptr));
  }
  EXPECT_EQ(GotFor(QmInfo::GetPrimaryQmtrbFile, "viewer", "messages"), "false:(untouched)");

  // Only the Courier key gives the home here.
  Write("system", kCourier + "InstallationPath=/apps/courier\\\n");
  EXPECT_EQ(Got(QmInfo::GetPlatformPath), "/apps/courier/x86e_linux");
  const dp::HomeSearch search = dp::SearchHome("", "");
  EXPECT_EQ(search.foundKey, "Software\\Zembra\\Quillmark Courier");
  EXPECT_FALSE(search.foundForCurrentUser);
  EXPECT_EQ(search.localMachine.file, StoreFile("system"));
  EXPECT_EQ(search.keys.size(), 3u);

  environment_.Set("QUILL_HOME", "/apps/q/").Set("QUILL_LANG", "de");
  EXPECT_EQ(Got(QmInfo::GetPlatformPath), "/apps/q/x86e_linux");
  EXPECT_EQ(Got(QmInfo::GetDllPath), "/apps/q/x86e_linux/obj");
  EXPECT_EQ(Got(QmInfo::GetJavaClassPath), "/apps/q/java");
  EXPECT_EQ(Got(QmInfo::GetQuillFontDir), "/apps/q/fonts");
  EXPECT_EQ(Got(QmInfo::GetQuillAdminPrefsDir), "/apps/q/preferences/Quillmark");
  std::string bin;
  ASSERT_TRUE(QmInfo::GetBinPath(&bin, "Custom", "QMK_TEST_HOME"));
  EXPECT_EQ(bin, "/apps/courier/bin");
  EXPECT_EQ(GotFor(QmInfo::GetProductTextDir, "viewer"), "/apps/q/resources/viewer/text");
  EXPECT_EQ(GotFor(QmInfo::GetProductResourceDir, "viewer"), "/apps/q/resources/viewer/resource");
  EXPECT_EQ(GotFor(QmInfo::GetProductTextResourceDir, "viewer"),
            "/apps/q/resources/viewer/text/resource");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductTextDir, "viewer"),
            "/apps/q/resources/viewer/text/german");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductResourceDir, "viewer"),
            "/apps/q/resources/viewer/resource/german");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductTextResourceDir, "viewer"),
            "/apps/q/resources/viewer/text/resource/german");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductTextDir, "viewer", "zh_TW"),
            "/apps/q/resources/viewer/text/chinese_tw");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductResourceDir, "viewer", "ja"),
            "/apps/q/resources/viewer/resource/japanese");
  EXPECT_EQ(GotFor(QmInfo::GetPrimaryQmtrbFile, "viewer", "messages"),
            "/apps/q/resources/viewer/text/german/messages.qmtrb");
  EXPECT_EQ(GotFor(QmInfo::GetFallbackQmtrbFile, "viewer", "messages"),
            "/apps/q/resources/viewer/text/usascii/messages.qmtrb");

  // An unknown language: the current offset falls back, the three-argument
  // getters refuse it.
  environment_.Set("QUILL_LANG", "xx");
  EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), "xx");
  EXPECT_EQ(Got(QmInfo::GetLanguageOffset), "/usascii");
  EXPECT_EQ(GotFor(QmInfo::GetLanguageOffset, "xx"), "false:(untouched)");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductTextDir, "viewer", "xx"), "false:(untouched)");
  EXPECT_EQ(GotFor(QmInfo::GetLocalizedProductResourceDir, "viewer", "xx"), "false:(untouched)");
  EXPECT_EQ(GotFor(QmInfo::GetPrimaryQmtrbFile, "viewer", "messages"),
            "/apps/q/resources/viewer/text/usascii/messages.qmtrb");
}

TEST_F(QmInfoHome, SystemLanguageAndPseudoLocalization) {
  environment_.Set("QUILL_LANG", "").Set("LC_ALL", "").Set("LC_MESSAGES", "").Set("LANG", "");
  EXPECT_EQ(Got(QmInfo::GetCurrentLanguage), "en");
  for (const auto& [locale, language] :
       std::map<std::string, std::string>{{"zh_HK.UTF-8", "en"},
                                          {"zh_SG.UTF-8", "zh_CN"},
                                          {"zh_CN.GB18030", "zh_CN"},
                                          {"zh_TW", "zh_TW"},
                                          {"zh", "en"},
                                          {"de_DE.UTF-8@euro", "de"},
                                          {"ru_UA", "ru"},
                                          {"ja_JP.eucJP", "ja"},
                                          {"pt_BR.UTF-8", "en"},
                                          {"C.UTF-8", "en"},
                                          {"POSIX", "en"}}) {
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
  EXPECT_FALSE(QmInfo::GetCurrentLanguage(nullptr));
}

TEST_F(QmInfoHome, PreferencesFontsAndWhatLinuxLacks) {
  EXPECT_EQ(Got(QmInfo::GetQuillUserPrefsDir), root_ / "user/zembra/Quillmark");
  environment_.Set("XDG_CONFIG_HOME", "relative/config");
  EXPECT_EQ(Got(QmInfo::GetQuillUserPrefsDir), root_ / "home/.config/zembra/Quillmark");
  environment_.Set("HOME", "");
  EXPECT_EQ(Got(QmInfo::GetQuillUserPrefsDir), "false:(untouched)");

  environment_.Set("QM_FONT_LIST", "").Set("QM_FONT_FILE", "");
  EXPECT_EQ(Got(QmInfo::GetQuillFontListFile), "false:(untouched)");
  EXPECT_EQ(Got(QmInfo::GetQuillPreferedFont), "false:(untouched)");
  environment_.Set("QM_FONT_LIST", "/f/list.txt").Set("QM_FONT_FILE", "Serif");
  EXPECT_EQ(Got(QmInfo::GetQuillFontListFile), "/f/list.txt");
  EXPECT_EQ(Got(QmInfo::GetQuillPreferedFont), "Serif");

  EXPECT_EQ(Got(QmInfo::GetPlatformName), "x86e_linux");
  EXPECT_EQ(Got(QmInfo::Get64BitPlatformName), "x86e_linux");
  EXPECT_EQ(Got(QmInfo::Get32BitPlatformName), "i486_linux");
  EXPECT_EQ(Got(QmInfo::GetDllExtension), "so");
  EXPECT_EQ(Got(QmInfo::GetExeExtension), "");
  EXPECT_EQ(Got(QmInfo::GetMsiInstallerExec), "false:(untouched)");
  std::string version = "(untouched)";
  EXPECT_FALSE(QmInfo::GetFileVersion(QMK_TEST_TOOL, version));
  EXPECT_EQ(version, "(untouched)");
}

TEST_F(QmInfoHome, PreferenceSymbolsAndImportFilterAdapters) {
  du::Symbol dir("(untouched)");
  EXPECT_FALSE(QmInfo::GetQuillAdminPrefsDir(dir));  // no home
  EXPECT_EQ(dir, "(untouched)");
  environment_.Set("QUILL_HOME", "/apps/q/");
  EXPECT_TRUE(QmInfo::GetQuillAdminPrefsDir(dir));
  EXPECT_EQ(dir, "/apps/q/preferences/Quillmark");
  EXPECT_TRUE(QmInfo::GetQuillUserPrefsDir(dir));
  EXPECT_EQ(dir, root_ / "user/zembra/Quillmark");
  du::Symbol file;
  EXPECT_TRUE(QmInfo::GetQuillUserPrefsFile(file) && file == "user_prefs.xml");
  EXPECT_TRUE(QmInfo::GetQuillAdminPrefsFile(file) && file == "admin_prefs.xml");
  EXPECT_TRUE(QmInfo::GetQuillServerPrefsFile(file) && file == "server_prefs.xml");

  environment_.Set("QUILL_TEMP", "/q/temp/").Set("TMPDIR", "/var/t");
  EXPECT_EQ(Got(QmInfo::GetQuillSessionDirectory), "/q/temp/username/quill");
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
