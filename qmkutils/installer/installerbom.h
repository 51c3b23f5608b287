// The bills of material of one installation: what is installed, what can be
// downloaded, and what needs an update.
//
// installer::InstallerBom reads the installed packages from the "*.bom"
// files of its bom directory (home + "/bom/" + the package name given to
// Initialize) and, in its download-side form, the downloadable packages
// from one package list file of the same record format. A package named in
// both is one object with both sides filled. Packages keep the order in
// which they were first read. The installation home is found through
// dp::QmInfo::GetHomePath.
//
// Processes are serialised on an installation by the file-system lock
// home + "/quill_lock", bound without retries in both initialisations:
// reading the bom directory obtains it and keeps it until the bom is
// destroyed (when another process holds it the directory is read all the
// same); installing an archive obtains it, when not held already, and
// releases it at its end.
//
// The destructor calls "QMDllTerminate" of every loaded package library in
// the reverse order of loading, then unloads them. A bom and its packages
// are not synchronised: use one bom from one thread. Failures are results
// plus trace lines (key "installer", sub-key "InstallerBom"); nothing
// throws but std::bad_alloc.
#ifndef QMKUTILS_INSTALLER_INSTALLERBOM_H_
#define QMKUTILS_INSTALLER_INSTALLERBOM_H_

#include <istream>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qmkutils/fileio/filesystemlock.h"
#include "qmkutils/installer/installerpackage.h"
#include "qmkutils/platform/export.h"

namespace installer {

enum InitRetState : int {
  kInitialized = 0,
  kAlreadyInitializedOrNoHome = 1,
  kFileInUse = 2,  // a file that an update replaces cannot be written
  kBuildNotCompatible = 3,
};

class QMK_EXPORT InstallerBom {
 public:
  using PackageEntry = std::pair<std::string, InstallerPackage*>;
  using PackageEntries = std::vector<PackageEntry>;

  static InstallerBom* Construct();
  ~InstallerBom();
  InstallerBom(const InstallerBom&) = delete;
  InstallerBom& operator=(const InstallerBom&) = delete;

  // Download side: reads the package list file `url` (creating the home
  // when missing), then the bom directory. With an update list, puts in it
  // every package whose installed item should be upgraded; 2 when a file
  // such an update replaces cannot be opened for writing, 3 when a
  // downloadable item is not compatible with `build` (unless build[0] is
  // -1). `reserved` is not used.
  InitRetState Initialize(const std::string& url, const std::string& packageName,
                          UpdateList* updateList, const int build[4],
                          const void* reserved = nullptr);
  // Installed side: reads the bom directory. With an update list, 3 when
  // `build` is newer than an installed package's build (compared position by
  // position, the first difference deciding); every package is put in the
  // list.
  InitRetState Initialize(UpdateList* updateList, const int build[4],
                          const std::string& packageName);

  InstallerPackage* GetPackageForPackageName(const std::string& name) const;
  // The package whose installed item is the file `name`, or null.
  InstallerPackage* GetPackageForProgram(const std::string& name) const;

  // Reads one record ("p <name>" first) into the package of that name,
  // created when new. A record that does not start so sets the fail bit.
  void ReadPackage(std::istream& in, bool download);
  // Writes every package's installed side to a new file at `path`; false
  // when the bom is not initialised or the file cannot be written.
  bool WritePackageFile(const std::string& path) const;

  const std::string& GetDownloadURL() const { return downloadUrl_; }
  const std::string& GetQuillHome() const { return home_; }
  const std::string& GetBomDirectory() const { return bomDirectory_; }
  PackageEntries::const_iterator beginPackages() const { return entries_.begin(); }
  PackageEntries::const_iterator endPackages() const { return entries_.end(); }

 private:
  friend class InstallerPackage;

  InstallerBom();
  bool FindHome();
  void BindInstallationLock();
  void ScanBomDir();

  PackageEntries entries_;
  std::vector<std::unique_ptr<InstallerPackage>> packages_;
  std::unordered_map<std::string, InstallerPackage*> byName_;
  bool initialized_ = false;
  std::string downloadUrl_;
  du::FileSystemLock lock_;
  std::string home_;
  std::string bomDirectory_;
  std::string packageName_;
  std::vector<InstallerPackage*> loaded_;  // in the order their init ran
};

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_INSTALLERBOM_H_
