// Fixed-size allocation of small objects with no per-slot overhead.
//
// du::SmallBlockAllocBase packs slots back to back (the stride is the element
// size rounded up to 8, at least 8) and finds a slot's block by address: a
// binary search over its blocks, with the block of the previous free cached,
// so freeing in any order costs O(log blocks). A block holds at least 64
// slots. du::SmallBlockAlloc<du::LockedSmallBlockAllocPolicy, 1, 1> is the
// thread-safe form. A slot freed twice, or a pointer that is no slot of the
// allocator, is refused with a trace line.
//
// Geometry, for element size e and block size b (0 means 4096): b is clamped
// to 1024..32768 and rounded up to 1024, and the supplier is asked for the
// payload that makes header and block fill b exactly. See
// du::FixedSizeAllocBase for statistics.
#ifndef QMKUTILS_MEMORY_SMALLBLOCKALLOC_H_
#define QMKUTILS_MEMORY_SMALLBLOCKALLOC_H_

#include "qmkutils/memory/fixedsizealloc.h"
#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT SmallBlockAllocBase : public FixedSizeAllocBase {
 public:
  // The stride and supplier request for these parameters.
  static unsigned StrideFor(unsigned elementSize);
  static unsigned RequestSizeFor(const SystemMallocCtrl& supplier, unsigned elementSize,
                                 unsigned blockSize);

 protected:
  SmallBlockAllocBase(const char* name, SystemMallocCtrl* supplier, unsigned elementSize,
                      unsigned blockSize, bool deallocateOnDestruction, bool keepOneEmpty);
};

class LockedSmallBlockAllocPolicy : public BusyLockPolicy {};

// The last two parameters are kept for source compatibility and change
// nothing.
template <class LockPolicy, int kVariant = 1, int kFlavour = 1>
class SmallBlockAlloc : public LockedFixedSizeAlloc<SmallBlockAllocBase, LockPolicy> {
 public:
  SmallBlockAlloc(const char* name, SystemMallocCtrl* supplier, unsigned elementSize,
                  unsigned blockSize = 0, bool deallocateOnDestruction = true,
                  bool keepOneEmpty = true)
      : LockedFixedSizeAlloc<SmallBlockAllocBase, LockPolicy>(
            name, supplier, elementSize, blockSize, deallocateOnDestruction, keepOneEmpty) {}
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_SMALLBLOCKALLOC_H_
