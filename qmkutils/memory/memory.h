// Memory management: allocation controls and their registry, the system
// allocator, fixed-size and small-block allocators, memory pools, the
// process-wide common allocator, a heap allocator, intrusive reference
// counting and a lock-free block allocator.
#ifndef QMKUTILS_MEMORY_MEMORY_H_
#define QMKUTILS_MEMORY_MEMORY_H_

#include "qmkutils/memory/blockalloc.h"
#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/memory/fixedsizealloc.h"
#include "qmkutils/memory/heapallocator.h"
#include "qmkutils/memory/lockfreeblockalloc.h"
#include "qmkutils/memory/mallocctrl.h"
#include "qmkutils/memory/mallocctrlregistry.h"
#include "qmkutils/memory/mempool.h"
#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smallblockalloc.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/memory/systemallocator.h"

#endif  // QMKUTILS_MEMORY_MEMORY_H_
