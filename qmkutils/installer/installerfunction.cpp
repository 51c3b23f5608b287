#include "qmkutils/installer/installerfunction.h"

#include "qmkutils/installer/internal/bomtext.h"

namespace installer {

InstallerFunction::InstallerFunction(const std::string& text) {
  const std::size_t first = text.find('/');
  module_ = text.substr(0, first);
  if (first == std::string::npos) return;
  const std::size_t second = text.find('/', first + 1);
  dataType_ = text.substr(first + 1, second == std::string::npos ? second : second - first - 1);
  if (second != std::string::npos) function_ = text.substr(second + 1);
}

bool InstallerFunction::ImplementsFunction(const std::string& module, const std::string& dataType,
                                           const std::string& function) const {
  bom_text::Trace()(dp::Debug, "ImpementsFunction check '%s/%s/%s' against '%s/%s/%s'\n",
                    module.c_str(), dataType.c_str(), function.c_str(), module_.safe_c_str(),
                    dataType_.safe_c_str(), function_.safe_c_str());
  return module_ == module && dataType_ == dataType && function_ == function;
}

}  // namespace installer
