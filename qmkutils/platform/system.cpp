#include "qmkutils/platform/system.h"

namespace dp {

bool System::GetSystemUserName(std::string* out) {
  if (out == nullptr) return false;
  *out = "username";
  return true;
}

}  // namespace dp
