#include "qmkutils/memory/internal/threadcache.h"

#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "qmkutils/memory/internal/poison.h"
#include "qmkutils/memory/internal/sizeclasses.h"
#include "qmkutils/platform/lockable.h"

namespace du {

constinit __attribute__((tls_model("initial-exec"))) thread_local ThreadCache* t_threadCache =
    nullptr;

namespace {

constexpr unsigned kMaxCachedSlots = 64;

bool RegisterForBarriers() {
  const long commands = syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
  return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
         syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

// A slot leaving the caches for its class allocator loses the cookie that
// marks cached slots: a later owner that writes only its first bytes (a
// 9-byte block in a 16-byte slot) would otherwise leave a cookie that makes
// its free look like a second free of a cached slot.
void ClearCookie(void* slot, unsigned index) {
  if (index > 0) static_cast<std::uintptr_t*>(slot)[1] = 0;
}

// Every running thread of the process passes a full memory barrier.
void BarrierOnAllThreads() { syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0); }

std::uintptr_t MakeCookie() {
  const auto address = reinterpret_cast<std::uintptr_t>(&t_threadCache);
  return (address * 0x9E3779B97F4A7C15u) ^ static_cast<std::uintptr_t>(getpid()) ^ 0x5A5A0F0F;
}

}  // namespace

// Gives the thread's cache back when the thread ends.
struct ThreadCacheOwner {
  ThreadCacheSet* set = nullptr;
  ~ThreadCacheOwner() {
    if (set != nullptr && t_threadCache != nullptr && t_threadCache != kRetiredCache)
      set->Retire(t_threadCache);
    t_threadCache = kRetiredCache;
  }
};

namespace {
thread_local ThreadCacheOwner t_owner;
}  // namespace

ThreadCacheSet::ThreadCacheSet(MemPool& pool)
    : pool_(pool), enabled_(RegisterForBarriers()), cookie_(MakeCookie()) {
  if (enabled_) pool_.AttachThreadCaches(this);
}

ThreadCache* ThreadCacheSet::Attach() {
  if (!enabled_) {
    t_threadCache = kRetiredCache;
    return nullptr;
  }
  dp::SpinLockGuard guard(listLock_);
  ThreadCache* cache = caches_.load(std::memory_order_acquire);
  while (cache != nullptr && cache->inUse.load(std::memory_order_relaxed)) {
    cache = cache->next.load(std::memory_order_acquire);
  }
  if (cache == nullptr) {
    void* memory = aligned_alloc(alignof(ThreadCache), sizeof(ThreadCache));
    if (memory == nullptr) return nullptr;
    cache = new (memory) ThreadCache();
    cache->next.store(caches_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    caches_.store(cache, std::memory_order_release);
  }
  cache->inUse.store(true, std::memory_order_relaxed);
  t_owner.set = this;
  t_threadCache = cache;
  return cache;
}

void ThreadCacheSet::Retire(ThreadCache* cache) {
  dp::SpinLockGuard guard(listLock_);
  FlushCache(*cache);
  retiredRequested_.fetch_add(
      static_cast<std::uint64_t>(cache->requested.exchange(0, std::memory_order_relaxed)),
      std::memory_order_relaxed);
  cache->inUse.store(false, std::memory_order_relaxed);
}

void* ThreadCacheSet::AllocateSlow(unsigned index, unsigned size) {
  ThreadCache* cache = t_threadCache == nullptr ? Attach() : t_threadCache;
  if (cache == nullptr || cache == kRetiredCache) return nullptr;
  const unsigned classSize = sizeclass::kSizes[index];
  Enter(*cache);
  void* slot = nullptr;
  ThreadCache::Class& cached = cache->classes[index];
  if (!stopped_.load(std::memory_order_acquire) && cached.head == nullptr) {
    void* refill[kMaxCachedSlots];
    const unsigned taken = pool_.RefillSlots(index, refill, sizeclass::kCacheLimits[index] / 2 + 1);
    if (taken > 0) {
      allocators_[index].store(pool_.GetClassAllocator(index), std::memory_order_relaxed);
      slot = refill[0];
      for (unsigned i = 1; i < taken; ++i) {
        static_cast<void**>(refill[i])[0] = cached.head;
        if (index > 0) static_cast<std::uintptr_t*>(refill[i])[1] = cookie_;
        cached.head = refill[i];
        poison::Poison(refill[i], classSize);
      }
      AddOwned(cached.count, taken - 1);
      AddOwned(cache->requested, size);
    }
  }
  cache->inside.store(0, std::memory_order_release);
  return slot;
}

bool ThreadCacheSet::FreeSlow(void* block, unsigned index, unsigned size) {
  ThreadCache* cache = t_threadCache;
  FixedSizeAllocBase* alloc = allocators_[index].load(std::memory_order_relaxed);
  const unsigned classSize = sizeclass::kSizes[index];
  Enter(*cache);
  ThreadCache::Class& cached = cache->classes[index];
  bool taken = false;
  bool notInUse = false;
  if (!stopped_.load(std::memory_order_acquire)) {
    notInUse = poison::IsPoisoned(block) || block == cached.head ||
               (index > 0 && static_cast<std::uintptr_t*>(block)[1] == cookie_);
    taken = notInUse || index < sizeclass::kSmallCount ||
            FixedSizeAllocBase::OwnerOfBackPointerSlot(block) == alloc;
    if (taken && !notInUse) {
      if (cached.count.load(std::memory_order_relaxed) >= sizeclass::kCacheLimits[index]) {
        void* returned[kMaxCachedSlots];
        const unsigned count = sizeclass::kCacheLimits[index] / 2;
        for (unsigned i = 0; i < count; ++i) {
          returned[i] = cached.head;
          poison::Unpoison(returned[i], classSize);
          cached.head = *static_cast<void**>(returned[i]);
          ClearCookie(returned[i], index);
        }
        AddOwned(cached.count, -static_cast<int>(count));
        pool_.ReturnSlots(index, returned, count);
      }
      static_cast<void**>(block)[0] = cached.head;
      if (index > 0) static_cast<std::uintptr_t*>(block)[1] = cookie_;
      cached.head = block;
      poison::Poison(block, classSize);
      AddOwned(cached.count, 1);
      AddOwned(cache->requested, -static_cast<std::int64_t>(size));
    }
  }
  cache->inside.store(0, std::memory_order_release);
  if (notInUse) alloc->ReportNotInUse();
  return taken;
}

void ThreadCacheSet::StopCaches() {
  stopped_.store(true, std::memory_order_seq_cst);
  BarrierOnAllThreads();
  for (ThreadCache* cache = caches_.load(std::memory_order_acquire); cache != nullptr;
       cache = cache->next.load(std::memory_order_acquire)) {
    while (cache->inside.load(std::memory_order_acquire) != 0) sched_yield();
  }
}

void ThreadCacheSet::FlushCache(ThreadCache& cache) {
  for (unsigned index = 0; index < sizeclass::kCount; ++index) {
    ThreadCache::Class& cached = cache.classes[index];
    const unsigned classSize = sizeclass::kSizes[index];
    while (cached.head != nullptr) {
      void* returned[kMaxCachedSlots];
      unsigned count = 0;
      while (cached.head != nullptr && count < kMaxCachedSlots) {
        poison::Unpoison(cached.head, classSize);
        returned[count++] = cached.head;
        cached.head = *static_cast<void**>(cached.head);
        ClearCookie(returned[count - 1], index);
      }
      pool_.ReturnSlots(index, returned, count);
    }
    cached.count.store(0, std::memory_order_relaxed);
  }
}

void ThreadCacheSet::FlushAll() {
  if (!enabled_) return;
  dp::SpinLockGuard guard(listLock_);
  StopCaches();
  for (ThreadCache* cache = caches_.load(std::memory_order_acquire); cache != nullptr;
       cache = cache->next.load(std::memory_order_acquire)) {
    FlushCache(*cache);
  }
  stopped_.store(false, std::memory_order_release);
}

std::uint64_t ThreadCacheSet::RequestedBytes() const {
  std::uint64_t total = retiredRequested_.load(std::memory_order_relaxed);
  for (ThreadCache* cache = caches_.load(std::memory_order_acquire); cache != nullptr;
       cache = cache->next.load(std::memory_order_acquire)) {
    total += static_cast<std::uint64_t>(cache->requested.load(std::memory_order_relaxed));
  }
  return total;
}

std::uint64_t ThreadCacheSet::CachedSlots(unsigned classIndex) const {
  std::uint64_t total = 0;
  for (ThreadCache* cache = caches_.load(std::memory_order_acquire); cache != nullptr;
       cache = cache->next.load(std::memory_order_acquire)) {
    total += cache->classes[classIndex].count.load(std::memory_order_relaxed);
  }
  return total;
}

void ThreadCacheSet::PrepareFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  if (!enabled_) return;
  listLock_.Lock();
  StopCaches();
}

void ThreadCacheSet::ParentAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  if (!enabled_) return;
  stopped_.store(false, std::memory_order_release);
  listLock_.Unlock();
}

void ThreadCacheSet::ChildAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  if (!enabled_) return;
  // The other threads are gone: their caches go back to the pool.
  for (ThreadCache* cache = caches_.load(std::memory_order_acquire); cache != nullptr;
       cache = cache->next.load(std::memory_order_acquire)) {
    if (cache == t_threadCache) continue;
    // A thread that is gone may have been between its two stores of the
    // flag, having seen the stop.
    cache->inside.store(0, std::memory_order_relaxed);
    if (!cache->inUse.load(std::memory_order_relaxed)) continue;
    FlushCache(*cache);
    retiredRequested_.fetch_add(
        static_cast<std::uint64_t>(cache->requested.exchange(0, std::memory_order_relaxed)),
        std::memory_order_relaxed);
    cache->inUse.store(false, std::memory_order_relaxed);
  }
  stopped_.store(false, std::memory_order_release);
  listLock_.Unlock();
}

}  // namespace du
