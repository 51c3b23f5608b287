// The fixed pieces of the installation's layout and of its languages, in one
// place. Internal to the library: not installed, not exported.
#ifndef QMKUTILS_PLATFORM_INTERNAL_INSTALLATION_H_
#define QMKUTILS_PLATFORM_INTERNAL_INSTALLATION_H_

#include <string_view>

namespace dp::installation {

// Variables.
inline constexpr const char* kHomeVariable = "QUILL_HOME";
inline constexpr const char* kLanguageVariable = "QUILL_LANG";
inline constexpr const char* kFontListVariable = "QM_FONT_LIST";
inline constexpr const char* kFontFileVariable = "QM_FONT_FILE";
inline constexpr const char* kUiLanguageVariable = "LANG";

// Registry store keys and values.
inline constexpr const char* kProductKeyPrefix = "Software\\Zembra\\";
inline constexpr const char* kStationKey = "Software\\Zembra\\Quillmark Station";
inline constexpr const char* kPocketKey = "Software\\Zembra\\Quillmark Pocket";
inline constexpr const char* kCourierKey = "Software\\Zembra\\Quillmark Courier";
inline constexpr const char* kInstallationPathValue = "InstallationPath";
inline constexpr const char* kImportFiltersKey =
    "Software\\Zembra\\Quillmark Station\\ImportFilters";

// Platform. The Linux names replace the Windows ones; the 64-bit name is the
// platform's own, the 32-bit one names the older x86 build.
inline constexpr const char* kPlatformName = "x86e_linux";
inline constexpr const char* k32BitPlatformName = "i486_linux";
inline constexpr const char* kLibraryExtension = "so";
inline constexpr const char* kProgramExtension = "";

// Directories below the home, each with its leading '/'.
inline constexpr const char* kPlatformDir = "/x86e_linux";
inline constexpr const char* kLibraryDir = "/x86e_linux/obj";
inline constexpr const char* kBinDir = "/bin";
inline constexpr const char* kJavaDir = "/java";
inline constexpr const char* kFontDir = "/fonts";
inline constexpr const char* kResourcesDir = "/resources";
inline constexpr const char* kTextDir = "/text";
inline constexpr const char* kResourceDir = "/resource";
inline constexpr const char* kAdminPrefsDir = "/preferences/Quillmark";
inline constexpr const char* kTraceStyleSheet = "/qmtrace/qmtrace.xsl";
inline constexpr const char* kFileUrlPrefix = "file:///";

// Below the user's configuration directory.
inline constexpr const char* kUserPrefsDir = "/zembra/Quillmark";

inline constexpr const char* kCatalogueExtension = "qmtrb";

// Below the temporary directory and the fixed user name.
inline constexpr const char* kSessionDir = "quill";

// Preference files, by their bare names.
inline constexpr const char* kUserPrefsFile = "user_prefs.xml";
inline constexpr const char* kAdminPrefsFile = "admin_prefs.xml";
inline constexpr const char* kServerPrefsFile = "server_prefs.xml";

// Languages.
inline constexpr const char* kFallbackLanguage = "en";
inline constexpr const char* kDefaultLanguageOffset = "/usascii";
inline constexpr const char* kPseudoLanguage = "pseudo";

struct Language {
  std::string_view code;
  std::string_view offset;       // directory offset below a product's text
  std::string_view localeName;   // the product's name of the C locale
  std::string_view posixLocale;  // what that name selects here
  std::string_view uiLanguage;   // written to LANG; empty: nothing
};

// The first entry doubles as the default for a language not listed.
inline constexpr Language kLanguages[] = {
    {"en", "/usascii", "english", "en_US.UTF-8", ""},
    {"de", "/german", "german", "de_DE.UTF-8", "german"},
    {"fr", "/french", "french", "fr_FR.UTF-8", "french"},
    {"es", "/spanish", "spanish", "es_ES.UTF-8", "spanish"},
    {"it", "/italian", "italian", "it_IT.UTF-8", "italian"},
    {"ja", "/japanese", "japanese", "ja_JP.UTF-8", "japanese"},
    {"ko", "/korean", "korean", "ko_KR.UTF-8", "korean"},
    {"zh_CN", "/chinese_cn", "chinese-simplified", "zh_CN.UTF-8", "chs"},
    {"zh_TW", "/chinese_tw", "chinese-traditional", "zh_TW.UTF-8", "cht"},
    {"ru", "/russian", "russian", "ru_RU.UTF-8", "russian"},
};

// The entry of `code`, compared exactly; null when it is not listed.
inline const Language* FindLanguage(std::string_view code) {
  for (const Language& language : kLanguages) {
    if (language.code == code) return &language;
  }
  return nullptr;
}

}  // namespace dp::installation

#endif  // QMKUTILS_PLATFORM_INTERNAL_INSTALLATION_H_
