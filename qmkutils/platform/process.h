// Processes.
//
// `dp::Process::GetCurrentProcId()` returns the calling process's id without
// a system call: the id is cached on first use and refreshed in the child of
// every fork() (through the library's fork handler), so a forked child sees
// its own id. After its first call in a process it is async-signal-safe. A
// child made by vfork() or a raw clone() bypasses the fork handlers and must
// not call it before exec.
#ifndef QMKUTILS_PLATFORM_PROCESS_H_
#define QMKUTILS_PLATFORM_PROCESS_H_

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT Process {
 public:
  static int GetCurrentProcId();
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_PROCESS_H_
