#include "qmkutils/installer/installerbom.h"

#include <cstdio>
#include <sstream>

#include "qmkutils/fileio/findfile.h"
#include "qmkutils/installer/internal/bomtext.h"
#include "qmkutils/installer/internal/makedirectories.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/utilities/hashnextprime.h"

namespace installer {

namespace {

using bom_text::Trace;

constexpr char kLockName[] = "/quill_lock";

// Reads the records of a bom file or package list until the stream fails.
void ReadRecords(InstallerBom& bom, const std::string& path, bool download, bool onlyFirst) {
  std::string text;
  if (!bom_text::ReadSmallFile(path, &text)) return;
  std::istringstream in(text);
  do {
    bom.ReadPackage(in, download);
  } while (!onlyFirst && in);
}

}  // namespace

InstallerBom* InstallerBom::Construct() { return new InstallerBom(); }

InstallerBom::InstallerBom() { byName_.rehash(du::HashNextPrime(100)); }

InstallerBom::~InstallerBom() {
  Trace()(dp::Info, "In InstallerBom destructor\n");
  if (lock_) lock_.ReleaseLock();
  for (auto package = loaded_.rbegin(); package != loaded_.rend(); ++package)
    (*package)->Terminate();
  loaded_.clear();
  entries_.clear();
  byName_.clear();
  packages_.clear();
}

bool InstallerBom::FindHome() {
  if (dp::QmInfo::GetHomePath(&home_, std::string(), std::string())) return true;
  Trace()(dp::Error, "Initialise() found no installation home\n");
  return false;
}

void InstallerBom::BindInstallationLock() { lock_.BindLock(home_ + kLockName, 0, 0); }

InitRetState InstallerBom::Initialize(UpdateList* updateList, const int build[4],
                                      const std::string& packageName) {
  packageName_ = packageName;
  if (initialized_ || !FindHome()) return kAlreadyInitializedOrNoHome;
  bomDirectory_ = home_ + "/bom/" + packageName;
  BindInstallationLock();
  ScanBomDir();
  if (updateList != nullptr) {
    Trace()(dp::Debug, "Initialise() Check each packages for update status.\n");
    for (const PackageEntry& entry : entries_) {
      if (const InstallerItem* installed = entry.second->GetInstalledItem();
          installed != nullptr && build != nullptr) {
        for (int i = 0; i < 4; ++i) {
          if (build[i] > installed->GetBuild()[i]) return kBuildNotCompatible;
          if (build[i] < installed->GetBuild()[i]) break;
        }
      }
      updateList->insert(entry.second);
    }
  } else {
    Trace()(dp::Debug, "Initialise() Pointer to update list is null.\n");
  }
  initialized_ = true;
  return kInitialized;
}

InitRetState InstallerBom::Initialize(const std::string& url, const std::string& packageName,
                                      UpdateList* updateList, const int build[4],
                                      const void* /*reserved*/) {
  Trace()(dp::Info, "Initialise(url = \"%s\"\n packageName = \"%s\").\n", url.c_str(),
          packageName.c_str());
  packageName_ = packageName;
  if (initialized_ || !FindHome()) return kAlreadyInitializedOrNoHome;
  bomDirectory_ = home_ + "/bom/" + packageName;
  downloadUrl_ = url;
  BindInstallationLock();
  if (!url.empty()) {
    Trace()(dp::Debug, "Initialise() Make sure that quillHome (\"%s\") exists\n", home_.c_str());
    if (MakeDirectoryWithParents(home_)) ReadRecords(*this, url, true, false);
  }
  ScanBomDir();
  if (updateList == nullptr) {
    Trace()(dp::Debug, "Initialise() Pointer to update list is null.\n");
  } else {
    for (const PackageEntry& entry : entries_) {
      InstallerPackage& package = *entry.second;
      const InstallerItem* download = package.GetDownloadItem();
      if (package.UpdateAvailable()) {
        // The file an update replaces must be writable, when it exists.
        const std::string file = home_ + "/" + download->GetComponentName();
        if (FILE* current = dp::FileSystem::qmfopen(file, "rb")) {
          (void)std::fclose(current);
          FILE* writable = dp::FileSystem::qmfopen(file, "ab");
          if (writable == nullptr) return kFileInUse;
          (void)std::fclose(writable);  // nothing was written
        }
        updateList->insert(&package);
      }
      if (download != nullptr && build != nullptr && build[0] != -1 &&
          !download->BuildCompatible(build))
        return kBuildNotCompatible;
    }
  }
  initialized_ = true;
  return kInitialized;
}

void InstallerBom::ScanBomDir() {
  Trace()(dp::Debug, "In ScanBomDir\n");
  if (bomDirectory_.empty()) return;  // no home found: nothing installed
  lock_.ObtainLock();
  du::FindFile find;
  for (find.FindFirstFileName(bomDirectory_ + "/*.bom"); !find.GetFoundName().empty();
       find.GetNextFileName()) {
    const std::string& name = find.GetFoundName();
    // The search ignores case; the extension must be "bom" exactly.
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".bom") != 0) continue;
    ReadRecords(*this, bomDirectory_ + "/" + name, false, true);
  }
}

InstallerPackage* InstallerBom::GetPackageForPackageName(const std::string& name) const {
  const auto found = byName_.find(name);
  return found == byName_.end() ? nullptr : found->second;
}

InstallerPackage* InstallerBom::GetPackageForProgram(const std::string& name) const {
  for (const PackageEntry& entry : entries_) {
    const InstallerItem* installed = entry.second->GetInstalledItem();
    if (installed != nullptr && installed->GetComponentName() == name) return entry.second;
  }
  return nullptr;
}

void InstallerBom::ReadPackage(std::istream& in, bool download) {
  if (in.get() != 'p' || in.get() != ' ') {
    in.setstate(std::ios::failbit);
    return;
  }
  std::string name;
  if (!bom_text::ReadLine(in, &name)) return;
  InstallerPackage* package = GetPackageForPackageName(name);
  if (package != nullptr) {
    Trace()(dp::Debug, "re-using package %s\n", name.c_str());
  } else {
    packages_.push_back(std::make_unique<InstallerPackage>(name, this));
    package = packages_.back().get();
    byName_.emplace(name, package);
    entries_.emplace_back(name, package);
  }
  package->SerialInput(in, download);
}

bool InstallerBom::WritePackageFile(const std::string& path) const {
  if (!initialized_) return false;
  Trace()(dp::Info, "Need to start writing file %s\n", path.c_str());
  std::ostringstream out;
  for (const PackageEntry& entry : entries_) entry.second->SerialOutput(out);
  const std::string text = out.str();
  FILE* file = dp::FileSystem::qmfopen(path, "wb");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  if (!written) Trace()(dp::Error, "Failed to write file %s\n", path.c_str());
  return written;
}

}  // namespace installer
