// One installable package: its installed and downloadable sides, the
// functions it implements, and its library once loaded.
//
// A package is described by a bill-of-material record, lines that start
// with a one-character key followed by one blank (but "P"):
//
//   p <package name>          starts a record (read by the bom)
//   i <v>.<v>                 version of the package's own item
//   b <b>.<b>.<b>.<b>         build of the own item (-1 means "any")
//   e <component name>        own item's file, executable; a program
//   l <component name>        own item's file
//   s <start script>          own item's start script; a program
//   d <version> <build> <name>  a dependency (the name is a package name)
//   S <version> <build> <name>  a dependency whose package is localised
//   m <module>/<type>/<function>  a function the package implements
//   P                         ends the record (the rest of the line is ignored)
//
// Lines end in LF; one CR before it is dropped. `SerialInput` fills either
// the installed or the download side; any other key, a key without its
// blank, or a malformed value sets the stream's fail bit and ends the
// record, keeping what was read before it. `SerialOutput` writes the
// installed side only, with dependencies as "d" lines and no start script.
//
// Packages are created and owned by their installer::InstallerBom. Paths
// below the installation home are written with "/". A package library is
// loaded with dp::SharedLib and stays loaded until the bom is destroyed;
// components it created must be released before that. Nothing here is
// synchronised: one bom and its packages belong to one thread. Failures are
// results plus trace lines (key "installer", sub-key "InstallerBom").
#ifndef QMKUTILS_INSTALLER_INSTALLERPACKAGE_H_
#define QMKUTILS_INSTALLER_INSTALLERPACKAGE_H_

#include <istream>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "qmkutils/installer/installerfunction.h"
#include "qmkutils/installer/installeritem.h"
#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/sharedlib.h"
#include "qmkutils/utilities/symbol.h"

namespace installer {

class InstallerBom;
class InstallerPackage;

// Orders packages by name, so that an update list reads the same in every
// run. Package names are unique within a bom.
struct QMK_EXPORT PackageNameOrder {
  bool operator()(const InstallerPackage* a, const InstallerPackage* b) const;
};

// The packages that must be downloaded, filled by the installer.
using UpdateList = std::set<InstallerPackage*, PackageNameOrder>;

class QMK_EXPORT InstallerPackage {
 public:
  using ItemList = std::vector<std::unique_ptr<InstallerItem>>;
  using FunctionList = std::vector<std::unique_ptr<InstallerFunction>>;

  InstallerPackage(const std::string& packageName, InstallerBom* bom);
  ~InstallerPackage();
  InstallerPackage(const InstallerPackage&) = delete;
  InstallerPackage& operator=(const InstallerPackage&) = delete;

  const std::string& GetPackageName() const { return packageName_; }
  InstallerBom* GetBom() const { return bom_; }
  // Null until a record for that side is read.
  const InstallerItem* GetInstalledItem() const { return installedItem_.get(); }
  const InstallerItem* GetDownloadItem() const { return downloadItem_.get(); }
  bool IsProgram() const { return isProgram_; }

  // True with an installed item; otherwise the bom directory is read again
  // and the item looked for once more.
  bool IsInstalled();
  // Both items present and the installed one should be upgraded to the
  // downloadable one.
  bool UpdateAvailable() const;
  // Whether the package and its installed dependencies are present. Puts
  // into `updateList` the packages that must be downloaded first (this one
  // when only its download side is known). A dependency on a package that
  // no record names, or a dependency missing on both sides, gives false; a
  // localised dependency is also looked for under its language's name
  // ("base.bom" in German: "base_de.bom"). Dependency cycles count as
  // available. A true answer is remembered.
  bool IsPackageAvailable(UpdateList* updateList);

  // The archive to download: download URL + "/" + platform name + "/" +
  // package name less its extension + ".zip"; empty without a download side.
  std::string GetDownloadFileName() const;
  // Home + "/" + own file for a program, else empty.
  std::string GetProgramName() const;
  // Home + "/" + start script for an installed program, else empty.
  std::string GetStartScript() const;
  // The installed item's build; untouched without one.
  void GetCurrentBuild(int build[4]) const;
  // True without a download side or when build[0] is -1; else whether the
  // downloadable item is BuildCompatible with `build`.
  bool DownloadCompatibleWithBuildVersion(const int build[4]) const;

  // Extracts a downloaded zip archive below the installation home under the
  // installation lock, re-reading any ".bom" file it installs into this
  // package. An archive with an entry name that is absolute, starts with a
  // drive or has a ".." component installs nothing. Returns false always:
  // the outcome is the package's installed side as re-read, and the trace.
  bool InstallDownloadFile(const char* path);
  bool InstallDownloadFile(const du::Symbol& path);
  bool InstallDownloadFile(const std::string& path);

  // Loads the library named by the installed item (home + "/" + its file)
  // unless loaded, and calls its "QMDllInit". A library without that entry
  // point is unloaded again. True when a library is loaded.
  bool LoadPackage();
  // Asks the loaded library's "QMDllCreateComponent" for a component, which
  // it stores in `*out` or not. Returns true always.
  bool CreateComponent(const du::Symbol& module, const du::Symbol& dataType,
                       const du::Symbol& function, du::SmartPtr<du::RefCounted>* out);
  // True when an installed or downloadable function has exactly these parts.
  bool ImplementsFunction(const std::string& module, const std::string& dataType,
                          const std::string& function) const;

  ItemList::const_iterator beginInstalledDependencies() const { return installedDeps_.begin(); }
  ItemList::const_iterator endInstalledDependencies() const { return installedDeps_.end(); }
  ItemList::const_iterator beginDownloadDependencies() const { return downloadDeps_.begin(); }
  ItemList::const_iterator endDownloadDependencies() const { return downloadDeps_.end(); }
  FunctionList::const_iterator beginInstalledFunctions() const {
    return installedFunctions_.begin();
  }
  FunctionList::const_iterator endInstalledFunctions() const { return installedFunctions_.end(); }
  FunctionList::const_iterator beginDownloadFunctions() const { return downloadFunctions_.begin(); }
  FunctionList::const_iterator endDownloadFunctions() const { return downloadFunctions_.end(); }

  // Reads one record's lines, after its "p" line, into the download side
  // when `download` is true, else into the installed side. A "p" line met
  // here is skipped.
  void SerialInput(std::istream& in, bool download);
  void SerialOutput(std::ostream& out) const;

 private:
  friend class InstallerBom;

  bool CheckAvailable(UpdateList* updateList);
  void InstallEntries(void* archive);
  void RereadBom(const std::string& path);
  void Terminate();

  std::string packageName_;
  InstallerBom* bom_;
  std::unique_ptr<InstallerItem> installedItem_;
  std::unique_ptr<InstallerItem> downloadItem_;
  ItemList installedDeps_;
  ItemList downloadDeps_;
  FunctionList installedFunctions_;
  FunctionList downloadFunctions_;
  dp::SharedLib library_;
  bool isProgram_ = false;
  bool isAvailable_ = false;
  bool underExamination_ = false;  // on the path of an availability check
};

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_INSTALLERPACKAGE_H_
