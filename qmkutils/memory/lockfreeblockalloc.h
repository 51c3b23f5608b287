// A lock-free allocator of fixed-size slots.
//
// du::LockFreeBlockAlloc hands out slots of one size, carved from superblocks
// of a few dozen kilobytes. It takes no lock: every word that threads share
// (a heap's active and partial descriptors, a descriptor's anchor, the lists
// of partial and of recycled descriptors) changes only by compare-and-swap or
// atomic exchange, so a thread stalled anywhere never stops the others. New
// and Delete may be called from any thread at the same time, and any thread
// may Delete a slot another thread got from New.
//
// The allocator keeps 4 heaps per processor. Each call of New takes the next
// heap round-robin, whatever the calling thread, which spreads contention
// over the heaps. A heap allocates from its active superblock, then from a
// partially free one, then from a fresh one.
//
// Memory is never handed back while the allocator lives: a superblock whose
// slots are all free is kept, with its descriptor, and reused for the next
// superblock any heap needs. Stale readers of the lock-free structures
// therefore never touch freed memory. The destructor releases everything;
// slots still in use then become invalid.
//
// Each slot is a 16-byte header (the slot's descriptor while in use, the next
// free slot's index while free) followed by the caller's bytes, which are
// 8-aligned, and 16-aligned when the element size rounded up to 8 is a
// multiple of 16. Under AddressSanitizer the caller's bytes of a free slot are
// poisoned.
//
// The allocator is not an allocation control: it is not registered and keeps
// no statistics.
#ifndef QMKUTILS_MEMORY_LOCKFREEBLOCKALLOC_H_
#define QMKUTILS_MEMORY_LOCKFREEBLOCKALLOC_H_

#include <atomic>
#include <cstdint>

#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT LockFreeBlockAlloc {
 public:
  // Slots of `elementSize` bytes from superblocks of about `superblockSize`
  // bytes (0 means 32768). The superblock size is rounded up to a multiple of
  // 1024 and kept within [8192, 131072]; a superblock that would hold fewer
  // than 16 slots grows to hold 16. A superblock that would hold more than
  // 1024 slots leaves the allocator unusable: its superblock size is 0 and New
  // returns null. `deallocateOnDestruct` is only reported back: the destructor
  // always releases everything.
  LockFreeBlockAlloc(unsigned elementSize, unsigned superblockSize, bool deallocateOnDestruct);
  ~LockFreeBlockAlloc();
  LockFreeBlockAlloc(const LockFreeBlockAlloc&) = delete;
  LockFreeBlockAlloc& operator=(const LockFreeBlockAlloc&) = delete;

  // A slot of at least the element size, or null when the allocator is
  // unusable or the system is out of memory.
  void* New();
  // Gives back a slot from New of this allocator; null is ignored.
  void Delete(void* element);

  bool GetDeallocateOnDestruct() const { return deallocateOnDestruct_; }
  // Always true: slots in use are not counted, so that New and Delete write no
  // shared counter.
  bool IsEmpty() const { return true; }
  // Does nothing: memory goes back only at destruction.
  void Deallocate() {}
  // Writes nothing, for the same reason as IsEmpty.
  void GetAllocationStats(unsigned*, unsigned*, unsigned*, unsigned*, unsigned*, unsigned*) const {}

  // The bytes of one superblock; 0 when the allocator is unusable.
  unsigned GetSuperblockSize() const { return superblockSize_; }
  // The bytes of one slot, header included.
  unsigned GetSlotSize() const { return slotSize_; }
  unsigned GetHeapCount() const { return heapCount_; }
  // Superblocks obtained from the system so far; reused ones are not counted
  // again.
  unsigned GetSuperblockCount() const { return superblockCount_.load(std::memory_order_relaxed); }

 private:
  struct ProcHeap;

  // One superblock's bookkeeping. A descriptor and its superblock stay paired
  // for the allocator's lifetime.
  struct alignas(64) Descriptor {
    // Packed tag, state, count of unreserved free slots and first free slot.
    std::atomic<std::uint64_t> anchor{0};
    // The heap the superblock serves; changes when a descriptor moves heaps.
    std::atomic<ProcHeap*> heap{nullptr};
    // Link of the lock-free list the descriptor is on (partial or recycled).
    std::atomic<std::uint64_t> listNext{0};
    char* superblock = nullptr;
    unsigned slotSize = 0;
    unsigned maxCount = 0;
    // Every descriptor ever made, for the destructor; set before publication.
    Descriptor* allNext = nullptr;
  };

  struct alignas(64) ProcHeap {
    // The active descriptor's address with its reserved credits minus one in
    // the low 6 bits; 0 when there is none.
    std::atomic<std::uint64_t> active{0};
    // One partially free descriptor, or null.
    std::atomic<Descriptor*> partial{nullptr};
    LockFreeBlockAlloc* owner = nullptr;
  };

  void* AllocateFromActive(ProcHeap* heap);
  void* AllocateFromPartial(ProcHeap* heap);
  void* AllocateFromNewSuperblock(ProcHeap* heap, bool* outOfMemory);
  // Pops the slot a caller holds a reservation for.
  char* PopReservedSlot(Descriptor* desc, bool tookLastCredit, unsigned* moreCredits);
  void* HandOut(Descriptor* desc, char* slot);
  void UpdateActive(ProcHeap* heap, Descriptor* desc, unsigned credits);
  void HeapPutPartial(Descriptor* desc);
  void RemoveEmptyDesc(Descriptor* desc);

  // The allocator-wide list of partially free descriptors no heap holds.
  Descriptor* ListGetPartial();
  void ListPutPartial(Descriptor* desc);
  // Recycles the empty descriptors on top of the partial list.
  void ListRemoveEmptyDesc();

  // Empty descriptors (with their superblocks) kept for reuse.
  void Recycle(Descriptor* desc);
  Descriptor* TakeRecycled();

  const unsigned slotSize_;
  const unsigned superblockSize_;
  const unsigned maxCount_;
  const unsigned heapCount_;
  const bool deallocateOnDestruct_;
  ProcHeap* heaps_;
  // Written by every New: kept off the line of the fields above, which every
  // call reads.
  alignas(64) std::atomic<unsigned> heapCounter_{0};
  // Tagged heads of the lock-free descriptor stacks.
  alignas(64) std::atomic<std::uint64_t> partialList_{0};
  std::atomic<std::uint64_t> recycledList_{0};
  std::atomic<Descriptor*> allDescriptors_{nullptr};
  std::atomic<unsigned> superblockCount_{0};
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_LOCKFREEBLOCKALLOC_H_
