#include "qmkutils/installer/installerpackage.h"

#include <exception>

#include "qmkutils/installer/installerbom.h"
#include "qmkutils/installer/internal/bomtext.h"
#include "qmkutils/installer/packagelibrary.h"
#include "qmkutils/platform/qminfo.h"

namespace installer {

namespace {

using bom_text::Trace;

// A package library's entry point, or null.
template <class Function>
Function EntryPoint(const dp::SharedLib& library, const char* name) {
  return reinterpret_cast<Function>(library.GetSymbolAddress(name));
}

// Whether a call into a package library returned normally; an exception
// escaping it is traced, so a faulty package cannot end its host.
template <class Call>
bool CallPackage(const char* entryPoint, const std::string& package, Call call) {
  try {
    call();
    return true;
  } catch (const std::exception& error) {
    Trace()(dp::Error, "%s of package %s threw: %s\n", entryPoint, package.c_str(), error.what());
  } catch (...) {
    Trace()(dp::Error, "%s of package %s threw\n", entryPoint, package.c_str());
  }
  return false;
}

// Marks a package as being examined for the length of one availability
// check, so that a dependency cycle ends where it closes.
class Examination {
 public:
  explicit Examination(bool* flag) : flag_(flag) { *flag_ = true; }
  ~Examination() { *flag_ = false; }
  Examination(const Examination&) = delete;
  Examination& operator=(const Examination&) = delete;

 private:
  bool* flag_;
};

}  // namespace

bool PackageNameOrder::operator()(const InstallerPackage* a, const InstallerPackage* b) const {
  return a->GetPackageName() < b->GetPackageName();
}

InstallerPackage::InstallerPackage(const std::string& packageName, InstallerBom* bom)
    : packageName_(packageName), bom_(bom) {}

InstallerPackage::~InstallerPackage() = default;

bool InstallerPackage::IsInstalled() {
  if (installedItem_ != nullptr) return true;
  if (bom_ != nullptr) bom_->ScanBomDir();
  return installedItem_ != nullptr;
}

bool InstallerPackage::UpdateAvailable() const {
  return installedItem_ != nullptr && downloadItem_ != nullptr &&
         installedItem_->ShouldUpgrade(*downloadItem_);
}

bool InstallerPackage::IsPackageAvailable(UpdateList* updateList) {
  UpdateList scratch;
  return CheckAvailable(updateList != nullptr ? updateList : &scratch);
}

bool InstallerPackage::CheckAvailable(UpdateList* updateList) {
  if (underExamination_) return true;
  bool available = true;
  if (installedItem_ == nullptr) {
    if (downloadItem_ == nullptr) {
      updateList->clear();
      return false;
    }
    updateList->insert(this);
    available = false;
  }
  if (isAvailable_) return available;
  const Examination examination(&underExamination_);
  // A dependency found missing with nothing to download stops the check;
  // one that can be downloaded only makes the answer false.
  const auto examine = [&](InstallerPackage* dependency) {
    if (dependency->CheckAvailable(updateList)) return true;
    available = false;
    return !updateList->empty();
  };
  std::string language;
  for (const std::unique_ptr<InstallerItem>& dependency : installedDeps_) {
    const std::string& name = dependency->GetComponentName();
    Trace()(dp::Debug, "Got dependency %s locale %d\n", name.c_str(),
            static_cast<int>(dependency->IsLocaleDependent()));
    std::string localisedName;
    if (dependency->IsLocaleDependent() && dp::QmInfo::GetCurrentLanguage(&language) &&
        language != "en") {
      localisedName = name.substr(0, name.size() < 4 ? 0 : name.size() - 4) + "_";
      localisedName += language;
      localisedName += ".bom";
    }
    InstallerPackage* package = bom_->GetPackageForPackageName(name);
    if (package == nullptr || !examine(package)) return false;
    if (localisedName.empty()) continue;
    if (InstallerPackage* localised = bom_->GetPackageForPackageName(localisedName);
        localised != nullptr && !examine(localised))
      return false;
  }
  if (available) isAvailable_ = true;
  return available;
}

std::string InstallerPackage::GetDownloadFileName() const {
  std::string platform;
  if (downloadItem_ == nullptr || !dp::QmInfo::GetPlatformName(&platform)) return {};
  std::string name = bom_->GetDownloadURL();
  name += '/';
  name += platform;
  name += '/';
  name.append(packageName_, 0, packageName_.size() < 4 ? 0 : packageName_.size() - 4);
  name += ".zip";
  return name;
}

std::string InstallerPackage::GetProgramName() const {
  if (!isProgram_ || installedItem_ == nullptr) return {};
  return bom_->GetQuillHome() + "/" + installedItem_->GetComponentName();
}

std::string InstallerPackage::GetStartScript() const {
  Trace()(dp::Debug, "IN GetStartScript\n");
  if (!isProgram_ || installedItem_ == nullptr) return {};
  return bom_->GetQuillHome() + "/" + installedItem_->GetStartScript();
}

void InstallerPackage::GetCurrentBuild(int build[4]) const {
  if (installedItem_ != nullptr) installedItem_->GetCurrentBuild(build);
}

bool InstallerPackage::DownloadCompatibleWithBuildVersion(const int build[4]) const {
  return downloadItem_ == nullptr || build[0] == -1 || downloadItem_->BuildCompatible(build);
}

bool InstallerPackage::LoadPackage() {
  if (!library_.IsGood() && installedItem_ != nullptr) {
    const std::string path = bom_->GetQuillHome() + "/" + installedItem_->GetComponentName();
    Trace()(dp::Info, "Open shared library \"%s\"\n", path.c_str());
    if (!library_.Reset(path.c_str())) {
      Trace()(dp::Error, "Failed to open shared library \"%s\"\n", path.c_str());
      return false;
    }
    const auto init = EntryPoint<PackageInitFunction>(library_, kPackageInitName);
    if (init == nullptr) {
      Trace()(dp::Error, "Failed to get init function for shared library \"%s\"\n", path.c_str());
      library_.Reset(nullptr);
      return false;
    }
    // Listed before the call: a library whose init threw halfway is still
    // asked to terminate.
    bom_->loaded_.push_back(this);
    CallPackage(kPackageInitName, packageName_, init);
    Trace()(dp::Debug, "Called init func\n");
  }
  return library_.IsGood();
}

bool InstallerPackage::CreateComponent(const du::Symbol& module, const du::Symbol& dataType,
                                       const du::Symbol& function,
                                       du::SmartPtr<du::RefCounted>* out) {
  if (!library_.IsGood()) return true;
  const auto create =
      EntryPoint<PackageCreateComponentFunction>(library_, kPackageCreateComponentName);
  if (create == nullptr) {
    Trace()(dp::Error, "Couldn't find createcomp func in plugin\n");
    return true;
  }
  CallPackage(kPackageCreateComponentName, packageName_, [&] {
    create(module.safe_c_str(), dataType.safe_c_str(), function.safe_c_str(), out);
  });
  return true;
}

void InstallerPackage::Terminate() {
  if (const auto terminate = EntryPoint<PackageTerminateFunction>(library_, kPackageTerminateName))
    CallPackage(kPackageTerminateName, packageName_, terminate);
}

bool InstallerPackage::ImplementsFunction(const std::string& module, const std::string& dataType,
                                          const std::string& function) const {
  for (const FunctionList* list : {&installedFunctions_, &downloadFunctions_}) {
    for (const std::unique_ptr<InstallerFunction>& implemented : *list)
      if (implemented->ImplementsFunction(module, dataType, function)) return true;
  }
  return false;
}

void InstallerPackage::SerialInput(std::istream& in, bool download) {
  std::unique_ptr<InstallerItem>& ownItem = download ? downloadItem_ : installedItem_;
  ItemList dependencies;
  FunctionList functions;
  std::string rest;
  for (int key = in.get(); key != std::istream::traits_type::eof(); key = in.get()) {
    if (key == 'P') {
      bom_text::ReadLine(in, &rest);
      break;
    }
    if (in.peek() != ' ') {
      in.setstate(std::ios::failbit);
      break;
    }
    in.get();
    switch (key) {
      case 'p':  // a bom file's own "p" line, read again by an installation
        bom_text::ReadLine(in, &rest);
        break;
      case 'i':
      case 'b':
      case 'e':
      case 'l':
      case 's':
        if (ownItem == nullptr) ownItem = std::make_unique<InstallerItem>();
        ownItem->SerialInput(in, static_cast<char>(key));
        if (key == 'e' || key == 's') isProgram_ = true;
        break;
      case 'd':
      case 'S':
        dependencies.push_back(std::make_unique<InstallerItem>());
        dependencies.back()->SerialInput(in, static_cast<char>(key));
        if (in.fail()) dependencies.pop_back();
        break;
      case 'm':
        if (bom_text::ReadLine(in, &rest))
          functions.push_back(std::make_unique<InstallerFunction>(rest));
        break;
      default:
        in.setstate(std::ios::failbit);
    }
    if (in.fail()) break;
  }
  (download ? downloadDeps_ : installedDeps_) = std::move(dependencies);
  (download ? downloadFunctions_ : installedFunctions_) = std::move(functions);
}

void InstallerPackage::SerialOutput(std::ostream& out) const {
  out << "p " << packageName_ << '\n';
  for (const std::unique_ptr<InstallerFunction>& function : installedFunctions_) {
    out << "m " << function->GetModuleName().view() << '/' << function->GetDataType().view() << '/'
        << function->GetFunctionName().view() << '\n';
  }
  if (installedItem_ != nullptr) installedItem_->SerialOutput(out);
  for (const std::unique_ptr<InstallerItem>& dependency : installedDeps_)
    dependency->SerialOutput(out);
  out << "P\n";
}

}  // namespace installer
