// Per-thread caches of free slots in front of the common pool. Internal.
//
// A thread allocates from and frees into its own cache without any atomic
// read-modify-write: its only shared writes are a flag saying it is inside
// the cache, and the counts that statistics read. The slots in a cache were
// handed out by their class allocator and are free; the class allocators
// count them as free (SlotCensus) and the pool counts the sizes callers asked
// for, so every figure stays what it would be without the caches.
//
// Anything that must see or empty all caches (PurgeEmptyBlocks, fork) stops
// them: it raises a stop flag, issues a process-wide memory barrier
// (membarrier) that orders the flag against every thread's inside flag, waits
// until no thread is inside its cache, and then works on the caches while
// the threads' calls take the locked path. Without membarrier (old kernels,
// filters) the caches stay off.
//
// A cache is given back when its thread exits. Slots that a thread freed
// were allocated by any thread; a cache holds at most a few dozen slots or
// 32 KiB per class.
#ifndef QMKUTILS_MEMORY_INTERNAL_THREADCACHE_H_
#define QMKUTILS_MEMORY_INTERNAL_THREADCACHE_H_

#include <atomic>
#include <cstdint>

#include "qmkutils/memory/fixedsizealloc.h"
#include "qmkutils/memory/internal/poison.h"
#include "qmkutils/memory/internal/sizeclasses.h"
#include "qmkutils/memory/mempool.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/threadannotations.h"

namespace du {

// Cache-line aligned, so two threads' caches never share a line.
struct alignas(64) ThreadCache {
  struct Class {
    void* head = nullptr;  // cached slots, linked through their first word
    std::atomic<std::uint32_t> count{0};
  };

  std::atomic<std::uint32_t> inside{0};
  std::atomic<bool> inUse{false};
  std::atomic<std::int64_t> requested{0};
  std::atomic<ThreadCache*> next{nullptr};
  Class classes[sizeclass::kCount];
};

// The calling thread's cache: null before its first use, kRetiredCache once
// its thread gave it back (or when caches are off). One set of caches exists
// per process (the common pool's), so one pointer per thread suffices.
inline ThreadCache* const kRetiredCache = reinterpret_cast<ThreadCache*>(std::uintptr_t{1});
extern constinit __attribute__((tls_model("initial-exec"))) thread_local ThreadCache* t_threadCache;

// The owner's add to a counter only it writes: no read-modify-write needed.
template <class T, class U>
void AddOwned(std::atomic<T>& counter, U delta) {
  counter.store(counter.load(std::memory_order_relaxed) + static_cast<T>(delta),
                std::memory_order_relaxed);
}

class ThreadCacheSet final : public SlotCensus {
 public:
  // Attaches itself to `pool`, if the system supports the caches.
  explicit ThreadCacheSet(MemPool& pool);
  ThreadCacheSet(const ThreadCacheSet&) = delete;
  ThreadCacheSet& operator=(const ThreadCacheSet&) = delete;

  bool IsEnabled() const { return enabled_; }

  // Null when the cache cannot serve the request: the caller takes the
  // pool's locked path.
  __attribute__((always_inline)) void* Allocate(unsigned size) {
    ThreadCache* cache = t_threadCache;
    if (size > sizeclass::kLargest || cache == kRetiredCache) return nullptr;
    const unsigned index = sizeclass::IndexOf(size);
    if (cache != nullptr) {
      Enter(*cache);
      ThreadCache::Class& cached = cache->classes[index];
      void* slot = stopped_.load(std::memory_order_acquire) ? nullptr : cached.head;
      if (slot != nullptr) {
        poison::Unpoison(slot, sizeclass::kSizes[index]);
        cached.head = *static_cast<void**>(slot);
        if (index > 0) static_cast<std::uintptr_t*>(slot)[1] = 0;  // the cookie
        AddOwned(cached.count, -1);
        AddOwned(cache->requested, size);
        cache->inside.store(0, std::memory_order_release);
        return slot;
      }
      cache->inside.store(0, std::memory_order_release);
    }
    return AllocateSlow(index, size);
  }

  // False when the cache did not take the block.
  __attribute__((always_inline)) bool Free(void* block, unsigned size) {
    ThreadCache* cache = t_threadCache;
    if (size > sizeclass::kLargest || cache == kRetiredCache || cache == nullptr) return false;
    const unsigned index = sizeclass::IndexOf(size);
    FixedSizeAllocBase* alloc = allocators_[index].load(std::memory_order_relaxed);
    if (alloc == nullptr) return false;
    Enter(*cache);
    ThreadCache::Class& cached = cache->classes[index];
    // A cached slot is poisoned under the sanitizer, carries the cookie when
    // it is 16 bytes or more, or is the one freed last. A slot of another
    // allocator goes the locked way, which checks it.
    if (stopped_.load(std::memory_order_acquire) || poison::IsPoisoned(block) ||
        block == cached.head || (index > 0 && static_cast<std::uintptr_t*>(block)[1] == cookie_) ||
        cached.count.load(std::memory_order_relaxed) >= sizeclass::kCacheLimits[index] ||
        (index >= sizeclass::kSmallCount &&
         FixedSizeAllocBase::OwnerOfBackPointerSlot(block) != alloc)) {
      cache->inside.store(0, std::memory_order_release);
      return FreeSlow(block, index, size);
    }
    static_cast<void**>(block)[0] = cached.head;
    if (index > 0) static_cast<std::uintptr_t*>(block)[1] = cookie_;
    cached.head = block;
    poison::Poison(block, sizeclass::kSizes[index]);
    AddOwned(cached.count, 1);
    AddOwned(cache->requested, -static_cast<std::int64_t>(size));
    cache->inside.store(0, std::memory_order_release);
    return true;
  }

  // Gives every cached slot back to its class allocator.
  void FlushAll();
  // The sizes that callers asked for, summed over the caches.
  std::uint64_t RequestedBytes() const;
  std::uint64_t CachedSlots(unsigned classIndex) const override;

  // Around fork(): no cache in use, the pool's locks held; the child gives
  // back the caches of the threads it did not inherit.
  void PrepareFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  void ParentAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  void ChildAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS;

 private:
  friend struct ThreadCacheOwner;

  // The inside flag is ordered before the stop flag's load by the barrier
  // that a stopper issues, so the owner needs no fence of its own.
  static void Enter(ThreadCache& cache) {
    cache.inside.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  void* AllocateSlow(unsigned index, unsigned size);
  bool FreeSlow(void* block, unsigned index, unsigned size);
  ThreadCache* Attach();
  void Retire(ThreadCache* cache);
  void StopCaches();
  void FlushCache(ThreadCache& cache);

  MemPool& pool_;
  const bool enabled_;
  const std::uintptr_t cookie_;  // marks a cached slot, to catch a second free
  std::atomic<bool> stopped_{false};
  dp::SpinLock listLock_;  // the list of caches; held while stopped
  // Never shrinks: a cache whose thread ended is reused by a new thread, so
  // readers walk the list without the lock.
  std::atomic<ThreadCache*> caches_{nullptr};
  std::atomic<std::uint64_t> retiredRequested_{0};
  // The pool's class allocators, once each exists.
  std::atomic<FixedSizeAllocBase*> allocators_[sizeclass::kCount] = {};
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_INTERNAL_THREADCACHE_H_
