// The user name that per-user paths are built with.
//
// `dp::System::GetSystemUserName` gives the fixed text "username", not the
// account's name (dp::QmSysInfo::GetUsername gives that): every user's
// per-user paths use the same name. Thread-safe; never throws.
#ifndef QMKUTILS_PLATFORM_SYSTEM_H_
#define QMKUTILS_PLATFORM_SYSTEM_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT System {
 public:
  System() = delete;

  // False only for a null pointer.
  static bool GetSystemUserName(std::string* out);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_SYSTEM_H_
