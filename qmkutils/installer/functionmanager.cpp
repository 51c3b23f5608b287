#include "qmkutils/installer/functionmanager.h"

#include <memory>

#include "qmkutils/tracing/tracer.h"

namespace installer {

namespace {

const dp::QMTracer s_trace("installer", "FunctionManager");

// A function part of a request, empty meaning "any".
bool PartMatches(const du::Symbol& requested, const du::Symbol& listed) {
  return requested.view().empty() || requested == listed;
}

bool ModuleAndTypeMatch(const InstallerFunction& f, const du::Symbol& module,
                        const du::Symbol& dataType) {
  return f.GetModuleName() == module && PartMatches(dataType, f.GetDataType());
}

bool AnyMatches(InstallerPackage::FunctionList::const_iterator begin,
                InstallerPackage::FunctionList::const_iterator end, const auto& matches) {
  for (auto f = begin; f != end; ++f)
    if (matches(**f)) return true;
  return false;
}

class FunctionManagerImpl final : public FunctionManager {
 public:
  InitRetState InitializeInstalled(UpdateList* updateList, const int build[4],
                                   const std::string& packageName) override {
    s_trace(dp::Debug, "Lets init the installerbom\n");
    return Bom().Initialize(updateList, build, packageName);
  }

  InitRetState InitializeFromUrl(const std::string& url, const std::string& packageName,
                                 bool /*reservedFlag*/, UpdateList* updateList, const int build[4],
                                 const void* reserved) override {
    s_trace(dp::Debug, "Lets init the installerbom\n");
    return Bom().Initialize(url, packageName, updateList, build, reserved);
  }

  bool HasFunction(const du::Symbol& module, const du::Symbol& dataType,
                   const du::Symbol& function) override {
    if (!HasBom()) return false;
    const auto matches = [&](const InstallerFunction& f) {
      return ModuleAndTypeMatch(f, module, dataType) && PartMatches(function, f.GetFunctionName());
    };
    for (auto entry = bom_->beginPackages(); entry != bom_->endPackages(); ++entry) {
      const InstallerPackage& package = *entry->second;
      if (AnyMatches(package.beginInstalledFunctions(), package.endInstalledFunctions(), matches) ||
          AnyMatches(package.beginDownloadFunctions(), package.endDownloadFunctions(), matches))
        return true;
    }
    return false;
  }

  bool GetFunction(const du::Symbol& module, const du::Symbol& dataType, const du::Symbol& function,
                   UpdateList* updateList, du::SmartPtr<du::RefCounted>* out) override;

  bool GetFunctionFromPackage(InstallerPackage* package, const du::Symbol& module,
                              const du::Symbol& dataType, const du::Symbol& function,
                              UpdateList* updateList, du::SmartPtr<du::RefCounted>* out) override {
    if (!HasBom() || package == nullptr) return false;
    const bool installed = package->IsInstalled();
    s_trace(dp::Debug, "IsInstalled %d\n", static_cast<int>(installed));
    UpdateList scratch;
    UpdateList& list = updateList != nullptr ? *updateList : scratch;
    package->IsPackageAvailable(&list);
    if (installed && list.empty()) {
      package->LoadPackage();
      package->CreateComponent(module, dataType, function, out);
    }
    return true;
  }

  bool LoadModule(const du::Symbol& moduleName, UpdateList* updateList) override {
    if (!HasBom()) return false;
    // Every function is compared (and traced); any one selects the package.
    const auto selects = [&](InstallerPackage::FunctionList::const_iterator begin,
                             InstallerPackage::FunctionList::const_iterator end) {
      bool selected = false;
      for (auto f = begin; f != end; ++f) {
        s_trace(dp::Debug, "Compare with module %s\n", (*f)->GetModuleName().safe_c_str());
        selected |= (*f)->GetModuleName() == moduleName && (*f)->GetFunctionName().view().empty();
      }
      return selected;
    };
    // By index: IsInstalled may read new bom files, which adds packages.
    const auto count = bom_->endPackages() - bom_->beginPackages();
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      InstallerPackage& package = *bom_->beginPackages()[i].second;
      if (package.beginInstalledFunctions() != package.endInstalledFunctions()) {
        if (selects(package.beginInstalledFunctions(), package.endInstalledFunctions()))
          package.LoadPackage();
      } else if (selects(package.beginDownloadFunctions(), package.endDownloadFunctions())) {
        if (package.IsInstalled()) {
          package.LoadPackage();
        } else if (updateList != nullptr) {
          updateList->insert(&package);
        }
      }
    }
    return true;
  }

  bool GetProgramPackage(const std::string& programName, UpdateList* updateList,
                         InstallerPackage** package) override {
    if (!HasBom()) return false;
    InstallerPackage* found = bom_->GetPackageForProgram(programName);
    if (found == nullptr) return false;
    const bool available = found->IsPackageAvailable(updateList);
    if (package != nullptr) *package = found;
    return available;
  }

  bool GetProgramBuild(const std::string& programName, std::string* build) override {
    if (!HasBom()) return false;
    InstallerPackage* found = bom_->GetPackageForProgram(programName);
    if (found == nullptr) return false;
    if (build != nullptr) *build = JoinNumbers(found->GetInstalledItem()->GetBuild(), 4);
    return true;
  }

  bool IsReady() override { return true; }

 private:
  // A manager keeps its first bom: initialising again answers "already
  // initialised", and the packages that update lists point to stay alive.
  InstallerBom& Bom() {
    if (bom_ == nullptr) bom_.reset(InstallerBom::Construct());
    return *bom_;
  }

  bool HasBom() const {
    if (bom_ != nullptr) return true;
    s_trace(dp::Error, "The function manager is used before it is initialised\n");
    return false;
  }

  std::unique_ptr<InstallerBom> bom_;
};

bool FunctionManagerImpl::GetFunction(const du::Symbol& module, const du::Symbol& dataType,
                                      const du::Symbol& function, UpdateList* updateList,
                                      du::SmartPtr<du::RefCounted>* out) {
  if (!HasBom()) return false;
  const char* const names[] = {module.safe_c_str(), dataType.safe_c_str(), function.safe_c_str()};
  const bool wantsFunction = !function.view().empty();
  UpdateList scratch;
  UpdateList& list = updateList != nullptr ? *updateList : scratch;
  // A listed function part must equal the request; an empty one offers the
  // whole module.
  const auto matches = [&](const InstallerFunction& f) {
    return ModuleAndTypeMatch(f, module, dataType) &&
           (f.GetFunctionName().view().empty() || f.GetFunctionName() == function);
  };
  bool matched = false;
  for (auto entry = bom_->beginPackages(); entry != bom_->endPackages(); ++entry) {
    InstallerPackage& package = *entry->second;
    if (package.beginInstalledFunctions() != package.endInstalledFunctions()) {
      if (!AnyMatches(package.beginInstalledFunctions(), package.endInstalledFunctions(), matches))
        continue;
      matched = true;
      package.IsPackageAvailable(&list);
      if (list.empty()) {
        package.LoadPackage();
        if (wantsFunction) {
          package.CreateComponent(module, dataType, function, out);
          return true;
        }
      } else if (wantsFunction) {
        s_trace(dp::Info, "GetFunction need to download %d items %s/%s/%s\n",
                static_cast<int>(list.size()), names[0], names[1], names[2]);
        return true;
      }
      continue;
    }
    if (!AnyMatches(package.beginDownloadFunctions(), package.endDownloadFunctions(), matches))
      continue;
    const bool installed = package.IsInstalled();
    s_trace(dp::Debug, "IsInstalled %d\n", static_cast<int>(installed));
    if (!installed) {
      s_trace(dp::Debug, "Matched package so see if its available\n");
      const bool available = package.IsPackageAvailable(&list);
      s_trace(dp::Info, "GetFunction 2 need to download %d  returned %d items %s/%s/%s\n",
              static_cast<int>(list.size()), static_cast<int>(available), names[0], names[1],
              names[2]);
      return !list.empty() || available;
    }
    package.LoadPackage();
    if (wantsFunction) {
      package.CreateComponent(module, dataType, function, out);
      s_trace(dp::Info, "GetFunction created component %s/%s/%s\n", names[0], names[1], names[2]);
    }
    return true;
  }
  if (!matched) {
    s_trace(dp::Info, "GetFunction cant  download %s/%s/%s\n", names[0], names[1], names[2]);
  }
  return matched;
}

}  // namespace

FunctionManager::~FunctionManager() = default;

FunctionManager* FunctionManager::Construct() { return new FunctionManagerImpl(); }

}  // namespace installer
