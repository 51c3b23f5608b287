// Fuzzes the bill-of-material reader with arbitrary records on both sides,
// and checks that what a package writes reads back to the same text.
//
// Input: a side byte (bit 0: the download side), then the records. Every
// package read is written out, read into a fresh bom and written again: the
// two texts must be equal. The format cannot carry a value that ends in a
// carriage return (the reader drops one before each line feed, the writer has
// no escape), and such a value may even read back empty and drop its line, so
// a package holding one is only checked to read back as one package. The
// accessors are exercised on the way; nothing here touches an installation
// (the bom is never initialised).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "qmkutils/installer/installerbom.h"
#include "qmkutils/installer/installerfunction.h"
#include "qmkutils/installer/installeritem.h"
#include "qmkutils/installer/installerpackage.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& first, const std::string& second) {
  std::fprintf(stderr, "bom_reader: %s\n--- first:\n%s--- second:\n%s---\n", what, first.c_str(),
               second.c_str());
  std::abort();
}

using BomPtr = std::unique_ptr<installer::InstallerBom>;

BomPtr ReadAll(const std::string& text, bool download) {
  BomPtr bom(installer::InstallerBom::Construct());
  std::istringstream in(text);
  do {
    bom->ReadPackage(in, download);
  } while (in);
  return bom;
}

std::string Written(const installer::InstallerPackage& package) {
  std::ostringstream out;
  package.SerialOutput(out);
  return out.str();
}

void CheckRoundTrip(const installer::InstallerPackage& package) {
  const std::string written = Written(package);
  const BomPtr reread = ReadAll(written, false);
  // Its name may have lost carriage returns too, so it is not looked up by name.
  if (std::distance(reread->beginPackages(), reread->endPackages()) != 1)
    Fail("the written package does not read back as one", written, std::string());
  if (written.find("\r\n") != std::string::npos) return;
  const std::string rewritten = Written(*reread->beginPackages()->second);
  if (rewritten != written) Fail("the package reads back differently", written, rewritten);
}

void Exercise(installer::InstallerPackage& package) {
  int build[4] = {-1, -1, -1, -1};
  package.GetCurrentBuild(build);
  package.DownloadCompatibleWithBuildVersion(build);
  package.UpdateAvailable();
  package.GetDownloadFileName();
  package.GetProgramName();
  package.GetStartScript();
  for (const installer::InstallerItem* item :
       {package.GetInstalledItem(), package.GetDownloadItem()}) {
    if (item != nullptr && item->IsBuildCompatible(build)) item->BuildCompatible(build);
  }
  for (auto dependency = package.beginInstalledDependencies();
       dependency != package.endInstalledDependencies(); ++dependency) {
    (*dependency)->IsBuildCompatible(build);
  }
  for (auto dependency = package.beginDownloadDependencies();
       dependency != package.endDownloadDependencies(); ++dependency) {
    (*dependency)->BuildCompatible(build);
  }
  for (auto function = package.beginInstalledFunctions();
       function != package.endInstalledFunctions(); ++function) {
    const std::string module((*function)->GetModuleName().view());
    const std::string dataType((*function)->GetDataType().view());
    const std::string name((*function)->GetFunctionName().view());
    if (!package.ImplementsFunction(module, dataType, name))
      Fail("a function read is not implemented", module + "/" + dataType + "/" + name, "");
  }
  for (auto function = package.beginDownloadFunctions(); function != package.endDownloadFunctions();
       ++function) {
    package.ImplementsFunction(std::string((*function)->GetModuleName().view()), "", "");
  }
  installer::UpdateList updates;
  package.IsPackageAvailable(&updates);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool download = (data[0] & 1) != 0;
  const BomPtr bom =
      ReadAll(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), download);
  for (auto entry = bom->beginPackages(); entry != bom->endPackages(); ++entry) {
    CheckRoundTrip(*entry->second);
    Exercise(*entry->second);
  }
  return 0;
}
