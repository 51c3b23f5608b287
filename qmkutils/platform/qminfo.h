// Where the installation lives, and the user's language.
//
// `dp::QmInfo` answers with static getters that return false when the answer
// cannot be found, leave their output untouched then, and give false for a
// null output pointer. They never throw (std::bad_alloc aside). All are
// thread-safe: they read the environment through `dp::Environment` and the
// registry store afresh on every call, and keep no state but the flag of the
// one-time language trace.
//
// The installation home comes from an environment variable ("QUILL_HOME"
// unless the caller names another), else from the registry store (see
// qmkutils/platform/homesearch.h): the value "InstallationPath" of
// "Software\Zembra\<product>" (default product "Quillmark Station"), then of
// "Software\Zembra\Quillmark Pocket", then of "Software\Zembra\Quillmark
// Courier", each looked up for the current user before the local machine;
// the first non-empty one wins. The home is written with forward slashes and
// one trailing slash removed. Every getter whose result lies below the home
// fails when the home is not found; none checks that the result exists.
//
// Linux names: the platform is "x86e_linux" (its 32-bit name "i486_linux"),
// and so are the platform and library directories below the home; libraries
// end in "so", programs have no extension. Message catalogue paths are
// written with '/'.
//
// The trace style sheet URL is "file:///" followed by the home and
// "/qmtrace/qmtrace.xsl". A Linux home already begins with '/', which then
// serves as the URL's third slash: "/opt/q" gives
// "file:///opt/q/qmtrace/qmtrace.xsl", "C:/Apps/Q" gives
// "file:///C:/Apps/Q/qmtrace/qmtrace.xsl".
//
// The current language is "QUILL_LANG" when it is set and not empty (taken
// as given, not checked), else the system language: the first non-empty of
// LC_ALL, LC_MESSAGES and LANG read as `ll[_CC]`; de, es, fr, it, ja, ko
// and ru by their code, zh_TW as zh_TW, zh_CN and zh_SG as zh_CN, anything
// else (other Chinese regions, C, POSIX) as "en". The first call in a
// process traces which of the two it used, once, also when threads race to
// be first.
//
// The user's preferences live below the user's configuration directory
// ($XDG_CONFIG_HOME when absolute, else $HOME/.config), which stands in for
// the application-data folder. On Linux no file carries a version resource
// and there is no Windows Installer: GetFileVersion and GetMsiInstallerExec
// always return false.
#ifndef QMKUTILS_PLATFORM_QMINFO_H_
#define QMKUTILS_PLATFORM_QMINFO_H_

#include <map>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace dp {

class QMK_EXPORT QmInfo {
 public:
  QmInfo() = delete;

  // An empty `product` means "Quillmark Station"; an empty `envVar` means
  // "QUILL_HOME".
  static bool GetHomePath(std::string* out, const std::string& product, const std::string& envVar);

  static bool GetPlatformName(std::string* out);
  static bool Get32BitPlatformName(std::string* out);
  static bool Get64BitPlatformName(std::string* out);
  static bool GetDllExtension(std::string* out);
  static bool GetExeExtension(std::string* out);  // true, with an empty text

  static bool GetPlatformPath(std::string* out);
  static bool GetDllPath(std::string* out);
  static bool GetBinPath(std::string* out, const std::string& product, const std::string& envVar);
  static bool GetJavaClassPath(std::string* out);
  static bool GetQuillFontDir(std::string* out);
  static bool GetQmTraceXslFile(std::string* out);
  static bool GetQuillAdminPrefsDir(std::string* out);
  static bool GetQuillAdminPrefsDir(du::Symbol& out);
  // False when neither $XDG_CONFIG_HOME nor $HOME gives a directory.
  static bool GetQuillUserPrefsDir(std::string* out);
  static bool GetQuillUserPrefsDir(du::Symbol& out);
  // The bare file names "user_prefs.xml", "admin_prefs.xml" and
  // "server_prefs.xml"; always true.
  static bool GetQuillUserPrefsFile(du::Symbol& out);
  static bool GetQuillAdminPrefsFile(du::Symbol& out);
  static bool GetQuillServerPrefsFile(du::Symbol& out);

  // The session directory: the temporary directory (FileSystem::GetTempDir)
  // + "/username/quill", without a trailing separator; false when there is
  // no temporary directory.
  static bool GetQuillSessionDirectory(std::string* out);
  static bool GetCurrentLanguage(std::string* out);
  // True when "QUILL_LANG" is "pseudo" in any case.
  static bool GetDoingPseudoLocalization();
  // False, with `out` untouched, for a code not in the language table.
  static bool GetLanguageOffset(std::string* out, const std::string& language);
  // The current language's offset; "/usascii" for one not in the table.
  static bool GetLanguageOffset(std::string* out);

  static bool GetProductTextDir(std::string* out, const std::string& product);
  static bool GetProductResourceDir(std::string* out, const std::string& product);
  static bool GetProductTextResourceDir(std::string* out, const std::string& product);
  // False for a language not in the table.
  static bool GetLocalizedProductTextDir(std::string* out, const std::string& product,
                                         const std::string& language);
  static bool GetLocalizedProductResourceDir(std::string* out, const std::string& product,
                                             const std::string& language);
  static bool GetLocalizedProductTextDir(std::string* out, const std::string& product);
  static bool GetLocalizedProductResourceDir(std::string* out, const std::string& product);
  static bool GetLocalizedProductTextResourceDir(std::string* out, const std::string& product);
  // The catalogue `name`.qmtrb in the localized text directory of the
  // current language (primary) or of "en" (fallback).
  static bool GetPrimaryQmtrbFile(std::string* out, const std::string& product,
                                  const std::string& name);
  static bool GetFallbackQmtrbFile(std::string* out, const std::string& product,
                                   const std::string& name);

  // "QM_FONT_LIST" and "QM_FONT_FILE"; false when unset or empty.
  static bool GetQuillFontListFile(std::string* out);
  static bool GetQuillPreferedFont(std::string* out);

  static bool GetMsiInstallerExec(std::string* out);
  static bool GetFileVersion(const std::string& path, std::string& version);
  // Adds every value of the local machine's key "Software\Zembra\Quillmark
  // Station\ImportFilters" as (name in ASCII lower case, data); names
  // longer than 16383 characters are skipped. False when the key is absent;
  // the map is added to, never cleared.
  static bool GetAdapterPaths(std::map<du::Symbol, du::Symbol>& adapters);
  // The processors online now, at least 1.
  static int GetNumberOfProcessors();
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_QMINFO_H_
