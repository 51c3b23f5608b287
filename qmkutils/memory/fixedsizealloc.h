// What the two fixed-size allocators share: blocks from a system allocator
// cut into equal slots, kept on an available list (blocks with a free slot)
// and a full list.
//
// Statistics are exact: `reserved` is the slot capacity of the blocks held
// (slots × stride), `inUse` the slots handed out × stride, and
// GetAllocationDetails gives blocks, slots and slots in use. A block whose
// last slot is freed goes back to the supplier at once, except one kept empty
// when keep-one-empty is set; PurgeEmptyBlocks gives that one back too.
//
// These bases are unlocked: every call must hold the owner's lock. The
// templates du::BlockAlloc and du::SmallBlockAlloc add the lock. Allocation
// never throws; with the fail switch set, or when the supplier refuses, it
// returns null. Freeing a slot that is not in use (twice, or not from this
// allocator) changes nothing and is traced ("du" "FixedSizeAlloc"); a wild
// pointer that is no slot of the allocator is detected when the allocator
// can find its block by address (du::SmallBlockAllocBase) and otherwise
// outside the contract.
#ifndef QMKUTILS_MEMORY_FIXEDSIZEALLOC_H_
#define QMKUTILS_MEMORY_FIXEDSIZEALLOC_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qmkutils/memory/mallocctrl.h"
#include "qmkutils/platform/busylock.h"
#include "qmkutils/platform/export.h"

namespace du {

// Counts, for an allocator, the slots it handed to thread caches that hold
// them free (see du::MemPool): they count as free in its statistics.
class SlotCensus {
 public:
  virtual std::uint64_t CachedSlots(unsigned key) const = 0;

 protected:
  ~SlotCensus() = default;
};

class QMK_EXPORT FixedSizeAllocBase : public FixedSizeMallocCtrl {
 public:
  static constexpr unsigned kBlockHeaderSize = 48;

  FixedSizeAllocBase(const FixedSizeAllocBase&) = delete;
  FixedSizeAllocBase& operator=(const FixedSizeAllocBase&) = delete;

  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const override;
  void GetAllocationDetails(unsigned* blocks, unsigned* capacitySlots,
                            unsigned* usedSlots) const override;
  // The hint is not used.
  void* Allocate(void* hint) override;
  void Free(void* slot) override;

  // At most one block, holding no slot in use.
  bool IsEmpty() const;
  // Gives the block kept empty back to the supplier.
  void PurgeEmptyBlocks();
  // Gives every block back; slots still in use become invalid.
  void DeallocateAll();

  unsigned GetStride() const { return stride_; }
  // The payload asked of the supplier per block.
  unsigned GetRequestSize() const { return requestSize_; }
  // The sum of the sizes that callers asked for, for pools that count them:
  // maintained by AllocateCounted and FreeCounted.
  std::uint64_t GetRequestedBytes() const { return requestedBytes_; }
  // From now on, slots that `census` reports under `key` count as free.
  void SetSlotCensus(const SlotCensus* census, unsigned key) {
    census_ = census;
    censusKey_ = key;
  }
  // The allocator named in the header of the block that holds the caller
  // pointer `slot` of a back-pointer allocator. Reads memory that only a
  // slot in use or held by a thread cache is sure to have.
  static const FixedSizeAllocBase* OwnerOfBackPointerSlot(const void* slot) {
    const void* block = static_cast<const void* const*>(slot)[-1];
    return *static_cast<const FixedSizeAllocBase* const*>(block);
  }
  // Traces a free of a slot that is not in use; call it without the lock.
  void ReportNotInUse() const;

 protected:
  enum class SlotLayout {
    kBackPointer,  // each slot starts with its block's address
    kPacked,       // slots back to back; blocks are found by address
  };

  // The block size to aim for: `ifZero` for 0, else `blockSize` clamped to
  // least..most and rounded up to 1024.
  static unsigned ChooseBlockSize(unsigned blockSize, unsigned ifZero, unsigned least,
                                  unsigned most);
  static constexpr unsigned RoundUp(unsigned n, unsigned multiple) {
    return (n + multiple - 1) / multiple * multiple;
  }

  FixedSizeAllocBase(const char* name, SystemMallocCtrl* supplier, unsigned stride,
                     unsigned requestSize, SlotLayout layout, bool deallocateOnDestruction,
                     bool keepOneEmpty);
  ~FixedSizeAllocBase() override;

  bool DeallocatesOnDestruction() const { return deallocateOnDestruction_; }
  void* AllocateCounted(unsigned requested);
  // False, changing nothing, when `slot` is not in use.
  bool FreeCounted(void* slot, unsigned requested);
  // Whether `slot` is a slot of this allocator (in use or not).
  bool Owns(void* slot);
  // Back-pointer slots: the caller pointer of each slot in use, available
  // blocks first, until `outEnd`; returns the end of what was written.
  void** WriteSlotsInUse(void** out, void** outEnd) const;

 private:
  struct Block;

  bool AddBlock();
  Block* FindBlock(void* slot);
  void ReleaseBlock(Block* block);
  std::size_t SlotIndex(std::size_t offset) const;
  std::uint64_t SlotsInUse() const;

  const bool keepOneEmpty_;
  const bool deallocateOnDestruction_;
  const SlotLayout layout_;
  unsigned stride_;
  unsigned requestSize_;
  std::uint64_t strideReciprocal_;
  Block* available_ = nullptr;
  Block* full_ = nullptr;
  std::uint64_t inUse_ = 0;
  std::uint64_t reserved_ = 0;
  std::uint64_t requestedBytes_ = 0;
  std::uint64_t blockCount_ = 0;
  const SlotCensus* census_ = nullptr;
  unsigned censusKey_ = 0;
  SystemMallocCtrl* supplier_;
  // Packed slots: the blocks by address, and the block of the last free.
  std::vector<Block*> blocksByAddress_;
  Block* lastFreed_ = nullptr;
};

// One BusyLock per allocator object: the sections it guards are a handful of
// pointer moves, plus the supplier's call when a block comes or goes.
class BusyLockPolicy {
 public:
  class QMK_SCOPED_CAPABILITY Lock : public dp::BusyLockGuard {
   public:
    explicit Lock(const BusyLockPolicy& host) QMK_ACQUIRE(host.lock_) : BusyLockGuard(host.lock_) {}
    ~Lock() QMK_RELEASE() = default;
  };

  // Held from one call to the other across fork().
  void LockForFork() const QMK_NO_THREAD_SAFETY_ANALYSIS { lock_.Lock(); }
  void UnlockAfterFork() const QMK_NO_THREAD_SAFETY_ANALYSIS { lock_.Unlock(); }

 private:
  mutable dp::BusyLock lock_;
};

// A fixed-size base whose every operation runs under LockPolicy's lock.
template <class Base, class LockPolicy>
class LockedFixedSizeAlloc : public Base, public LockPolicy {
 public:
  ~LockedFixedSizeAlloc() override {
    if (!Base::DeallocatesOnDestruction()) return;
    typename LockPolicy::Lock guard(*this);
    Base::DeallocateAll();
  }

  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const override {
    typename LockPolicy::Lock guard(*this);
    Base::GetAllocationStats(reserved, inUse);
  }
  void GetAllocationDetails(unsigned* blocks, unsigned* capacitySlots,
                            unsigned* usedSlots) const override {
    typename LockPolicy::Lock guard(*this);
    Base::GetAllocationDetails(blocks, capacitySlots, usedSlots);
  }
  void* Allocate(void* hint) override {
    typename LockPolicy::Lock guard(*this);
    return Base::Allocate(hint);
  }
  void Free(void* slot) override {
    if (!FreeCounted(slot, 0)) Base::ReportNotInUse();
  }
  bool IsEmpty() const {
    typename LockPolicy::Lock guard(*this);
    return Base::IsEmpty();
  }
  void PurgeEmptyBlocks() {
    typename LockPolicy::Lock guard(*this);
    Base::PurgeEmptyBlocks();
  }
  // For pools, which count the sizes their callers asked for.
  void* AllocateCounted(unsigned requested) {
    typename LockPolicy::Lock guard(*this);
    return Base::AllocateCounted(requested);
  }
  bool FreeCounted(void* slot, unsigned requested) {
    typename LockPolicy::Lock guard(*this);
    return Base::FreeCounted(slot, requested);
  }
  // Up to `n` slots into `out` under one lock; returns how many.
  unsigned AllocateBatch(void** out, unsigned n) {
    typename LockPolicy::Lock guard(*this);
    unsigned taken = 0;
    while (taken < n && (out[taken] = Base::Allocate(nullptr)) != nullptr) ++taken;
    return taken;
  }
  // Frees `n` slots under one lock; false when one of them was not in use.
  bool FreeBatch(void* const* slots, unsigned n) {
    typename LockPolicy::Lock guard(*this);
    bool allInUse = true;
    for (unsigned i = 0; i < n; ++i) allInUse &= Base::FreeCounted(slots[i], 0);
    return allInUse;
  }
  std::uint64_t GetRequestedBytes() const {
    typename LockPolicy::Lock guard(*this);
    return Base::GetRequestedBytes();
  }
  bool Owns(void* slot) {
    typename LockPolicy::Lock guard(*this);
    return Base::Owns(slot);
  }

 protected:
  using Base::Base;
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_FIXEDSIZEALLOC_H_
