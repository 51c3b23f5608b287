// A memory pool: 128 size classes of fixed-size allocators, created on first
// use, in front of two system allocators.
//
// Requests up to 16384 bytes go to the class that fits them (classes grow by
// 8 bytes up to 256, then by 16, 32, … 512 bytes per doubling); classes of 8
// to 64 bytes pack their slots with no overhead, larger ones carry a back
// pointer. Larger requests go straight to the extra supplier. Free must be
// given the size passed to Allocate: it selects the class.
//
// Statistics: the pool reports reserved 0 (its suppliers and class
// allocators report the memory) and in use the sum of the sizes callers
// asked for, exact after every operation. Class allocators are named
// "<pool name> (<smallest> to <class size>)" and appear in the registry as
// suppliers of the pool.
//
// Thread safety: every operation may be called from any thread. Each class
// has its own lock, so threads allocating different sizes never contend;
// class allocators are published with one compare-and-swap. Allocate never
// throws (null on failure or while the fail switch is set); constructing a
// pool throws std::bad_alloc ("bad allocation") when its supplier refuses.
// Freeing a slot twice changes nothing and is traced.
#ifndef QMKUTILS_MEMORY_MEMPOOL_H_
#define QMKUTILS_MEMORY_MEMPOOL_H_

#include "qmkutils/memory/fixedsizealloc.h"
#include "qmkutils/memory/mallocctrl.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/threadannotations.h"

namespace du {

class ThreadCacheSet;

class QMK_EXPORT MemPool : public HandOffMallocCtrl {
 public:
  static constexpr unsigned kClassCount = 128;
  static constexpr unsigned kSmallClassCount = 8;
  static constexpr unsigned kLargestClassSize = 16384;

  // One supplier for blocks and large requests; large requests are tracked
  // and given back when the pool is destroyed.
  MemPool(const char* name, SystemMallocCtrl* supplier);
  // A null `extraSupplier` means `blockSupplier`. With `trackExtra`, large
  // requests are tracked and class allocators give their blocks back when
  // the pool is destroyed.
  MemPool(const char* name, SystemMallocCtrl* blockSupplier, SystemMallocCtrl* extraSupplier,
          bool trackExtra);
  ~MemPool() override;
  MemPool(const MemPool&) = delete;
  MemPool& operator=(const MemPool&) = delete;

  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const override;
  void* Allocate(unsigned size, void* hint) override;
  void Free(void* block, unsigned size) override;

  // Gives each class allocator's kept empty block back, small classes first.
  void PurgeEmptyBlocks();
  // The class allocator of `index`, null before the class is first used.
  FixedSizeAllocBase* GetClassAllocator(unsigned index) const;
  // Frees a block whose size is not known (the storage of an object whose
  // constructor threw out of a nothrow new); `large` tells whether the extra
  // supplier handed it out. Slower than Free, and the in-use figure drops by
  // the class size rather than the size asked.
  void FreeUnsized(void* block, bool large);

  // Takes every lock of the pool (class allocators first), for a fork
  // handler that holds them across fork(); UnlockAfterFork gives them back.
  void LockForFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  void UnlockAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS;

  // The class size of `n`, or `n` itself above 16384.
  static unsigned GetRoundedSize(unsigned n);
  // The class of `n`, or -1 above 16384.
  static int GetSizeClass(unsigned n);
  // The class size of class `index`.
  static unsigned GetClassSize(unsigned index);

 private:
  friend class ThreadCacheSet;
  struct State;

  // For the thread caches of the common pool: slots of class `index` taken
  // and given back under one lock each; Refill returns how many it took.
  unsigned RefillSlots(unsigned index, void** out, unsigned n);
  bool ReturnSlots(unsigned index, void* const* slots, unsigned n);
  void AttachThreadCaches(ThreadCacheSet* caches);

  void Init(const char* name, SystemMallocCtrl* blockSupplier, SystemMallocCtrl* extraSupplier,
            bool trackExtra);
  FixedSizeAllocBase* ClassAllocator(unsigned index);

  State* state_ = nullptr;
  ThreadCacheSet* caches_ = nullptr;
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_MEMPOOL_H_
