// Reaching the allocation registry during process exit. Internal.
#ifndef QMKUTILS_MEMORY_INTERNAL_REGISTRYACCESS_H_
#define QMKUTILS_MEMORY_INTERNAL_REGISTRYACCESS_H_

#include "qmkutils/memory/mallocctrlregistry.h"

namespace du {

// The registry, created if need be; null once it has been destroyed.
MallocCtrlRegistry* RegistryIfAlive();

}  // namespace du

#endif  // QMKUTILS_MEMORY_INTERNAL_REGISTRYACCESS_H_
