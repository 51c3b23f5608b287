#include "qmkutils/memory/commonallocator.h"

#include <optional>

#include "qmkutils/memory/internal/registryaccess.h"
#include "qmkutils/memory/internal/threadcache.h"
#include "qmkutils/memory/systemallocator.h"
#include "qmkutils/platform/badalloc.h"
#include "qmkutils/platform/internal/forkhandlers.h"

namespace du {
namespace {

using CommonBlockAllocator = BlockSystemAllocator<LockedSystemAllocatorPolicy, 8192>;
using CommonExtraAllocator = SystemAllocator<LockedSystemAllocatorPolicy, PageRequestsOfMiB<1024>>;

// Kept at exit (see ShutDown), so a late free still finds its pool.
using CommonSingleton = dp::Singleton<CommonAllocatorImpl, dp::SingletonExit::kShutDownAndKeep>;

}  // namespace

struct CommonAllocatorImpl::Controls {
  CommonBlockAllocator block{"Common Block Allocator"};
  CommonExtraAllocator extra{"Common Extra Allocator"};
  MemPool pool{"Common Mem Pool", &block, &extra, false};
  ThreadCacheSet caches{pool};
};

namespace {

// The pool outlives the singleton's publication: written once, never freed.
std::atomic<MemPool*> s_pool{nullptr};
std::atomic<CommonExtraAllocator*> s_extra{nullptr};
std::atomic<ThreadCacheSet*> s_caches{nullptr};

// The class lock under which the allocator is created is held across fork(),
// so a child never inherits it held by a thread it does not have.
const dp::fork::Registration s_creationForkRegistration(
    dp::fork::Participant::kCommonAllocatorCreation,
    {[]() QMK_NO_THREAD_SAFETY_ANALYSIS {
       dp::ClassLevelLockable<CommonAllocatorImpl>::ClassLock().Lock();
     },
     []() QMK_NO_THREAD_SAFETY_ANALYSIS {
       dp::ClassLevelLockable<CommonAllocatorImpl>::ClassLock().Unlock();
     },
     []() QMK_NO_THREAD_SAFETY_ANALYSIS {
       dp::ClassLevelLockable<CommonAllocatorImpl>::ClassLock().Unlock();
     }});

MemPool& Pool() {
  if (MemPool* pool = s_pool.load(std::memory_order_acquire)) {
    if (!CommonSingleton::IsDestroyed()) return *pool;
  }
  CommonSingleton::Instance();  // creates it, or throws DeadReference
  return *s_pool.load(std::memory_order_acquire);
}

}  // namespace

namespace {

// The system allocators' locks, held across fork() after the pool's.
std::optional<LockedSystemAllocatorPolicy::Lock> s_blockForkGuard;
std::optional<LockedSystemAllocatorPolicy::Lock> s_extraForkGuard;
CommonAllocatorImpl::Controls* s_forkControls = nullptr;

void PrepareFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  s_forkControls->caches.PrepareFork();
  s_forkControls->pool.LockForFork();
  s_blockForkGuard.emplace(s_forkControls->block);
  s_extraForkGuard.emplace(s_forkControls->extra);
}

void ReleaseAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  s_extraForkGuard.reset();
  s_blockForkGuard.reset();
  s_forkControls->pool.UnlockAfterFork();
}

}  // namespace

CommonAllocatorImpl::CommonAllocatorImpl() : controls_(new Controls) {
  s_forkControls = controls_;
  dp::fork::Register(dp::fork::Participant::kCommonAllocator,
                     {&PrepareFork,
                      [] {
                        ReleaseAfterFork();
                        s_forkControls->caches.ParentAfterFork();
                      },
                      [] {
                        ReleaseAfterFork();
                        s_forkControls->caches.ChildAfterFork();
                      }});
  s_extra.store(&controls_->extra, std::memory_order_release);
  s_caches.store(&controls_->caches, std::memory_order_release);
  s_pool.store(&controls_->pool, std::memory_order_release);
}

void CommonAllocatorImpl::ShutDown() {
  if (MallocCtrlRegistry* registry = RegistryIfAlive()) {
    registry->Unregister(&controls_->pool);
    registry->Unregister(&controls_->extra);
    registry->Unregister(&controls_->block);
  }
}

unsigned GetLongevity(CommonAllocatorImpl*) { return 0xFFFFFFFE; }

void* CommonAllocatorImpl::Allocate(unsigned size, void* hint) {
  if (ThreadCacheSet* caches = s_caches.load(std::memory_order_acquire)) {
    if (void* block = caches->Allocate(size)) return block;
  }
  void* block = Pool().Allocate(size, hint);
  if (block == nullptr) dp::ThrowBadAlloc();
  return block;
}

void* CommonAllocatorImpl::AllocateBytes(std::size_t size) {
  if (size > 0xFFFFFFFFu) dp::ThrowBadAlloc();
  return Allocate(static_cast<unsigned>(size), nullptr);
}

void CommonAllocatorImpl::Deallocate(void* block, unsigned size) {
  if (block == nullptr) return;
  if (ThreadCacheSet* caches = s_caches.load(std::memory_order_acquire)) {
    if (caches->Free(block, size)) return;
  }
  if (MemPool* pool = s_pool.load(std::memory_order_acquire)) pool->Free(block, size);
}

void CommonAllocatorImpl::DeallocateUnsized(void* block) {
  MemPool* pool = s_pool.load(std::memory_order_acquire);
  if (block == nullptr || pool == nullptr) return;
  pool->FreeUnsized(block, s_extra.load(std::memory_order_acquire)->Owns(block));
}

void CommonAllocatorImpl::PurgeEmptyBlocks() { Pool().PurgeEmptyBlocks(); }

MemPool& CommonAllocatorImpl::GetPool() { return Pool(); }

CommonAllocated::~CommonAllocated() = default;

void* CommonAllocated::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (size > 0xFFFFFFFFu) return nullptr;
  try {
    if (ThreadCacheSet* caches = s_caches.load(std::memory_order_acquire)) {
      if (void* block = caches->Allocate(static_cast<unsigned>(size))) return block;
    }
    return Pool().Allocate(static_cast<unsigned>(size), nullptr);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace du
