// Installs the sample package from an archive into a fresh installation home,
// then asks the function manager for its "Hello" component and uses it.
//
//   plugin_host [HOME]
//
// Without HOME a temporary home is made and removed again. The archive
// holds the package's bom file and its library, as a download would.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "examples/plugin/greeter.h"
#include "qmkutils/fileio/zipwriter.h"
#include "qmkutils/installer/installer.h"

namespace {

constexpr char kPackageSet[] = "app";

bool MakeArchive(const std::string& path) {
  du::ZipWriter archive(path);
  return archive.AddFile(QMK_GREETER_BOM, std::string("bom/") + kPackageSet + "/greeter.bom",
                         du::ZipWriter::kCreate) &&
         archive.AddFile(QMK_GREETER_PLUGIN, "x86e_linux/obj/libgreeter_plugin.so",
                         du::ZipWriter::kAddInArchive);
}

bool Install(const std::string& archive) {
  const int anyBuild[4] = {-1, -1, -1, -1};
  const std::unique_ptr<installer::InstallerBom> bom(installer::InstallerBom::Construct());
  if (bom->Initialize(nullptr, anyBuild, kPackageSet) != installer::kInitialized) return false;
  installer::InstallerPackage package("greeter.bom", bom.get());
  package.InstallDownloadFile(archive);
  return package.GetInstalledItem() != nullptr;
}

int Greet() {
  const int anyBuild[4] = {-1, -1, -1, -1};
  const std::unique_ptr<installer::FunctionManager> manager(
      installer::FunctionManager::Construct());
  installer::UpdateList downloads;
  if (manager->InitializeInstalled(nullptr, anyBuild, kPackageSet) != installer::kInitialized)
    return 1;
  du::SmartPtr<du::RefCounted> component;
  if (!manager->GetFunction("greetings", "text", "Hello", &downloads, &component) ||
      !downloads.empty())
    return 1;
  const auto* greeter = dynamic_cast<const greeter::Greeter*>(component.Get());
  if (greeter == nullptr) return 1;
  std::printf("%s\n", greeter->Greet("world").c_str());
  // Components go before the manager, which unloads the package library.
  component.Reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  if (argc > 1) {
    home = argv[1];
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "plugin-home-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    home = pattern;
  }
  setenv("QUILL_HOME", home.c_str(), 1);
  const std::string archive = home + "/greeter.zip";
  int status = 1;
  if (!MakeArchive(archive)) {
    std::fprintf(stderr, "could not write %s\n", archive.c_str());
  } else if (!Install(archive)) {
    std::fprintf(stderr, "could not install %s\n", archive.c_str());
  } else {
    std::printf("installed the greeter package below %s\n", home.c_str());
    status = Greet();
  }
  if (argc <= 1) std::filesystem::remove_all(home);
  return status;
}
