#include "bom_command.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/fileio/internal/zipextract.h"
#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/installer/installerbom.h"
#include "qmkutils/installer/installeritem.h"
#include "qmkutils/installer/installerpackage.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/qminfo.h"

namespace qmk {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr char kLockName[] = "/quill_lock";

constexpr const char* kUsage =
    "Usage: qmk bom status [--package NAME] [--list FILE] [--build A.B.C.D]\n"
    "       qmk bom install ZIP [--package NAME]\n";

struct Options {
  std::vector<std::string> positional;
  std::string package;
  std::string list;
  bool hasList = false;
  int build[4] = {-1, -1, -1, -1};
};

int Usage() {
  std::fputs(kUsage, stderr);
  return kUsageError;
}

// False on an unknown option, a missing value, or an option `allowed` lacks.
bool ParseOptions(int argc, char** argv, std::initializer_list<std::string_view> allowed,
                  Options* options) {
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.rfind("--", 0) != 0) {
      options->positional.emplace_back(argument);
      continue;
    }
    if (std::find(allowed.begin(), allowed.end(), argument) == allowed.end() || i + 1 == argc)
      return false;
    const std::string value = argv[++i];
    if (argument == "--package") {
      options->package = value;
    } else if (argument == "--list") {
      options->list = value;
      options->hasList = true;
    } else if (argument == "--build") {
      if (!installer::ParseNumbers(value, options->build, 4)) return false;
    } else {
      return false;
    }
  }
  return true;
}

const char* InitFailure(installer::InitRetState state) {
  switch (state) {
    case installer::kAlreadyInitializedOrNoHome:
      return "no installation home was found (set QUILL_HOME)";
    case installer::kFileInUse:
      return "a file that an update replaces cannot be written (in use?)";
    case installer::kBuildNotCompatible:
      return "the build is not compatible with the installed or listed packages";
    default:
      return "the bills of material cannot be read";
  }
}

using BomPtr = std::unique_ptr<installer::InstallerBom>;

std::string Describe(const installer::InstallerItem& item) {
  const std::string& file = item.GetComponentName();
  std::string text = "version ";
  text += installer::JoinNumbers(item.GetVersion(), 2);
  text += " build ";
  text += installer::JoinNumbers(item.GetBuild(), 4);
  text += " file ";
  text += file.empty() ? "-" : file;
  return text;
}

int Status(const Options& options) {
  BomPtr bom(installer::InstallerBom::Construct());
  installer::UpdateList initList;
  const installer::InitRetState state =
      options.hasList ? bom->Initialize(options.list, options.package, &initList, options.build)
                      : bom->Initialize(&initList, options.build, options.package);
  if (state != installer::kInitialized) {
    std::fprintf(stderr, "qmk bom: %s (state %d)\n", InitFailure(state), static_cast<int>(state));
    return kFailed;
  }
  std::printf("home %s\nbom directory %s\n", bom->GetQuillHome().c_str(),
              bom->GetBomDirectory().c_str());
  for (auto entry = bom->beginPackages(); entry != bom->endPackages(); ++entry) {
    const installer::InstallerPackage& package = *entry->second;
    if (const installer::InstallerItem* installed = package.GetInstalledItem()) {
      std::printf("installed %s %s%s\n", entry->first.c_str(), Describe(*installed).c_str(),
                  package.IsProgram() ? " program" : "");
    }
  }
  for (auto entry = bom->beginPackages(); entry != bom->endPackages(); ++entry) {
    const installer::InstallerPackage& package = *entry->second;
    if (!package.UpdateAvailable()) continue;
    std::printf("update %s build %s to %s\n", entry->first.c_str(),
                installer::JoinNumbers(package.GetInstalledItem()->GetBuild(), 4).c_str(),
                installer::JoinNumbers(package.GetDownloadItem()->GetBuild(), 4).c_str());
  }
  // One list per package: a package whose dependencies cannot be met clears
  // the list it is given, which would lose the other packages' needs.
  installer::UpdateList downloads;
  for (auto entry = bom->beginPackages(); entry != bom->endPackages(); ++entry) {
    installer::UpdateList needed;
    if (!entry->second->IsPackageAvailable(&needed) && needed.empty())
      std::printf("unavailable %s\n", entry->first.c_str());
    downloads.insert(needed.begin(), needed.end());
  }
  for (const installer::InstallerPackage* package : downloads) {
    std::printf("download %s %s\n", package->GetPackageName().c_str(),
                package->GetDownloadFileName().c_str());
  }
  return kDone;
}

// "dir/extra.zip" -> "extra.bom".
std::string PackageNameOf(const std::string& archive) {
  std::string name = archive.substr(archive.rfind('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0)
    name.resize(name.size() - 4);
  return name + ".bom";
}

// Why an installation would write nothing, known before it runs; null when
// nothing speaks against it.
const char* Obstacle(const std::vector<std::string>& entries, std::string* detail) {
  std::string home;
  if (!dp::QmInfo::GetHomePath(&home, std::string(), std::string())) return nullptr;
  if (!dp::FileSystem::DirExists(home.c_str())) {
    *detail = home;
    return "the installation home does not exist";
  }
  if (dp::FileSystem::DirExists((home + kLockName).c_str())) {
    *detail = home + kLockName;
    return "the installation is locked by another process";
  }
  for (const std::string& entry : entries) {
    if (const char* reason = du::zip_extract::UnsafeNameReason(entry)) {
      *detail = entry + ": " + reason;
      return "the archive is refused, an entry would land outside the home";
    }
  }
  return nullptr;
}

int Install(const Options& options) {
  const std::string& archive = options.positional[0];
  du::ZipReader reader(archive);
  std::vector<std::string> entries;
  if (!reader.ListContents(entries)) {
    std::fprintf(stderr, "qmk bom: cannot open the archive \"%s\"\n", archive.c_str());
    return kFailed;
  }
  // Looked at before the bom takes the lock itself.
  std::string detail;
  const char* obstacle = Obstacle(entries, &detail);
  BomPtr bom(installer::InstallerBom::Construct());
  installer::UpdateList ignored;
  const installer::InitRetState state = bom->Initialize(&ignored, options.build, options.package);
  if (state != installer::kInitialized) {
    std::fprintf(stderr, "qmk bom: %s\n", InitFailure(state));
    return kFailed;
  }
  const std::string name = PackageNameOf(archive);
  // A package no bom names yet belongs to this command, and must go before
  // its bom does.
  std::unique_ptr<installer::InstallerPackage> newPackage;
  installer::InstallerPackage* package = bom->GetPackageForPackageName(name);
  if (package == nullptr) {
    newPackage = std::make_unique<installer::InstallerPackage>(name, bom.get());
    package = newPackage.get();
  }
  package->InstallDownloadFile(archive);
  const installer::InstallerItem* installed = package->GetInstalledItem();
  if (obstacle != nullptr || installed == nullptr) {
    if (obstacle != nullptr) {
      std::fprintf(stderr, "qmk bom: %s: %s \"%s\"\n", archive.c_str(), obstacle, detail.c_str());
    } else {
      std::fprintf(stderr, "qmk bom: %s: %s has no installed side afterwards\n", archive.c_str(),
                   name.c_str());
    }
    return kFailed;
  }
  std::printf("installed %s %s%s\n", name.c_str(), Describe(*installed).c_str(),
              package->IsProgram() ? " program" : "");
  return kDone;
}

}  // namespace

int RunBomCommand(int argc, char** argv) {
  if (argc < 1) return Usage();
  const std::string_view action = argv[0];
  Options options;
  if (action == "status") {
    if (!ParseOptions(argc - 1, argv + 1, {"--package", "--list", "--build"}, &options) ||
        !options.positional.empty())
      return Usage();
    return Status(options);
  }
  if (action == "install") {
    if (!ParseOptions(argc - 1, argv + 1, {"--package"}, &options) ||
        options.positional.size() != 1)
      return Usage();
    return Install(options);
  }
  return Usage();
}

}  // namespace qmk
