// One function (component) that a package implements.
//
// installer::InstallerFunction names it by three symbols, module, data type
// and function, built from one text "module/type/function": the module is
// the text before the first "/", the data type the text up to the second
// "/", the function everything after it (further "/" included). A text with
// no "/" is all module; with one, module and data type. Immutable once
// built, so any number of threads may read one.
#ifndef QMKUTILS_INSTALLER_INSTALLERFUNCTION_H_
#define QMKUTILS_INSTALLER_INSTALLERFUNCTION_H_

#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace installer {

class QMK_EXPORT InstallerFunction {
 public:
  explicit InstallerFunction(const std::string& text);

  const du::Symbol& GetModuleName() const { return module_; }
  const du::Symbol& GetDataType() const { return dataType_; }
  const du::Symbol& GetFunctionName() const { return function_; }

  // True when all three texts equal the three parts. Traces the check.
  bool ImplementsFunction(const std::string& module, const std::string& dataType,
                          const std::string& function) const;

 private:
  du::Symbol module_;
  du::Symbol dataType_;
  du::Symbol function_;
};

}  // namespace installer

#endif  // QMKUTILS_INSTALLER_INSTALLERFUNCTION_H_
