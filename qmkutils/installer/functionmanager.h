// Components created on demand by whichever installed package implements
// them.
//
// installer::FunctionManager hides one installer::InstallerBom. An
// application asks for a function by module, data type and function name;
// the manager finds the package whose bom lists it, loads its library when
// it and its dependencies are installed and asks it for the component, or
// reports in the update list what must be downloaded first. A requested
// data type or function name that is empty matches any.
//
// Every operation but the two initialisations needs the bom they create;
// without it they trace and return false. Not synchronised: one manager
// belongs to one thread. Trace key "installer", sub-key "FunctionManager".
#ifndef QMKUTILS_INSTALLER_FUNCTIONMANAGER_H_
#define QMKUTILS_INSTALLER_FUNCTIONMANAGER_H_

#include <string>

#include "qmkutils/installer/installerbom.h"
#include "qmkutils/installer/installerpackage.h"
#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace installer {

class QMK_EXPORT FunctionManager {
 public:
  // A new manager, without a bom until initialised.
  static FunctionManager* Construct();
  virtual ~FunctionManager();

  // Create the bom and initialise it from the installed side, or from a
  // package list file `url` as well. A manager has one bom: a second
  // initialisation returns kAlreadyInitializedOrNoHome. `reservedFlag` and
  // `reserved` are not used; `reserved` is passed on to the bom.
  virtual InitRetState InitializeInstalled(UpdateList* updateList, const int build[4],
                                           const std::string& packageName) = 0;
  virtual InitRetState InitializeFromUrl(const std::string& url, const std::string& packageName,
                                         bool reservedFlag, UpdateList* updateList,
                                         const int build[4], const void* reserved) = 0;
  // Whether an installed or downloadable package lists the function.
  virtual bool HasFunction(const du::Symbol& module, const du::Symbol& dataType,
                           const du::Symbol& function) = 0;
  // Creates the component through the package that implements it, loading
  // the package; or fills `updateList` with what must be downloaded. True
  // when a package was found (the update list and `*out` tell the rest).
  virtual bool GetFunction(const du::Symbol& module, const du::Symbol& dataType,
                           const du::Symbol& function, UpdateList* updateList,
                           du::SmartPtr<du::RefCounted>* out) = 0;
  virtual bool GetFunctionFromPackage(InstallerPackage* package, const du::Symbol& module,
                                      const du::Symbol& dataType, const du::Symbol& function,
                                      UpdateList* updateList,
                                      du::SmartPtr<du::RefCounted>* out) = 0;
  // Loads every installed package that implements the module as a whole (a
  // function with an empty function part); lists those not installed.
  virtual bool LoadModule(const du::Symbol& moduleName, UpdateList* updateList) = 0;
  virtual bool GetProgramPackage(const std::string& programName, UpdateList* updateList,
                                 InstallerPackage** package) = 0;
  // The installed build of a program as "a.b.c.d".
  virtual bool GetProgramBuild(const std::string& programName, std::string* build) = 0;
  // Always true.
  virtual bool IsReady() = 0;

 protected:
  FunctionManager() = default;
};

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_FUNCTIONMANAGER_H_
