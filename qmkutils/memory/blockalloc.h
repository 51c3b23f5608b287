// Fixed-size allocation with a back pointer per slot: constant-time free.
//
// du::BlockAllocBase cuts blocks from a du::SystemMallocCtrl into slots of
// one element size; each slot starts with its block's address (8 bytes on
// x86-64), so Free finds the block at once. A block holds at least 16 slots,
// and its size is chosen to waste less than 3% where a one-slot-larger block
// does better. du::BlockAlloc<du::LockedBlockAllocPolicy, 1, 1> is the
// thread-safe form: every operation runs under the allocator's own lock,
// which is held across the supplier's calls and nothing else.
//
// Geometry, for element size e and block size b (0 means 32768): the stride
// is e rounded up to 8, plus 8; b is clamped to 8192..131072 and rounded up
// to 1024; the supplier is asked for the payload that makes header and block
// fill b exactly. See du::FixedSizeAllocBase for statistics and misuse.
#ifndef QMKUTILS_MEMORY_BLOCKALLOC_H_
#define QMKUTILS_MEMORY_BLOCKALLOC_H_

#include "qmkutils/memory/fixedsizealloc.h"
#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT BlockAllocBase : public FixedSizeAllocBase {
 public:
  // Writes the caller pointer of each slot in use, until `outEnd`; returns
  // the end of what was written.
  void** GetAllocatedBlocks(void** out, void** outEnd) const {
    return WriteSlotsInUse(out, outEnd);
  }

  // The stride and supplier request for these parameters.
  static unsigned StrideFor(unsigned elementSize);
  static unsigned RequestSizeFor(const SystemMallocCtrl& supplier, unsigned elementSize,
                                 unsigned blockSize);

 protected:
  BlockAllocBase(const char* name, SystemMallocCtrl* supplier, unsigned elementSize,
                 unsigned blockSize, bool deallocateOnDestruction, bool keepOneEmpty);
};

class LockedBlockAllocPolicy : public BusyLockPolicy {};

// The last two parameters are kept for source compatibility and change
// nothing.
template <class LockPolicy, int kVariant = 1, int kFlavour = 1>
class BlockAlloc : public LockedFixedSizeAlloc<BlockAllocBase, LockPolicy> {
 public:
  BlockAlloc(const char* name, SystemMallocCtrl* supplier, unsigned elementSize,
             unsigned blockSize = 0, bool deallocateOnDestruction = true, bool keepOneEmpty = true)
      : LockedFixedSizeAlloc<BlockAllocBase, LockPolicy>(name, supplier, elementSize, blockSize,
                                                         deallocateOnDestruction, keepOneEmpty) {}
  void** GetAllocatedBlocks(void** out, void** outEnd) const {
    typename LockPolicy::Lock guard(*this);
    return BlockAllocBase::GetAllocatedBlocks(out, outEnd);
  }
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_BLOCKALLOC_H_
