#include "qmkutils/memory/mempool.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "qmkutils/memory/blockalloc.h"
#include "qmkutils/memory/internal/sizeclasses.h"
#include "qmkutils/memory/internal/threadcache.h"
#include "qmkutils/memory/mallocctrlregistry.h"
#include "qmkutils/memory/smallblockalloc.h"
#include "qmkutils/platform/badalloc.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/locks.h"

namespace du {
namespace {

using SmallClassAlloc = SmallBlockAlloc<LockedSmallBlockAllocPolicy, 1, 1>;
using BlockClassAlloc = BlockAlloc<LockedBlockAllocPolicy, 1, 1>;

constexpr unsigned kSmallClassBlockSize = 8192;
constexpr unsigned kBlockClassBlockSize = 12288;

constexpr unsigned ClassSizeOf(unsigned index) { return sizeclass::SizeOf(index); }

struct LargeBlock {
  void* block;
  unsigned size;
};

}  // namespace

struct MemPool::State {
  bool trackExtra;
  SystemMallocCtrl* blockSupplier;
  SystemMallocCtrl* extraSupplier;
  std::atomic<SmallClassAlloc*> small[kSmallClassCount] = {};
  std::atomic<BlockClassAlloc*> blocks[kClassCount - kSmallClassCount] = {};
  // Class allocators count their own callers' sizes; this counts the rest.
  std::atomic<std::uint64_t> largeBytes{0};
  dp::SpinLock largeLock;
  // Address-ordered; storage from the extra supplier.
  LargeBlock* large = nullptr;
  unsigned largeCount = 0;
  unsigned largeCapacity = 0;
  char name[NAME_LENGTH];
};

int MemPool::GetSizeClass(unsigned n) {
  if (n > kLargestClassSize) return -1;
  return static_cast<int>(sizeclass::IndexOf(n));
}

unsigned MemPool::GetClassSize(unsigned index) { return ClassSizeOf(index); }

unsigned MemPool::GetRoundedSize(unsigned n) {
  const int index = GetSizeClass(n);
  return index < 0 ? n : ClassSizeOf(static_cast<unsigned>(index));
}

MemPool::MemPool(const char* name, SystemMallocCtrl* supplier) : HandOffMallocCtrl(name) {
  Init(name, supplier, supplier, true);
}

MemPool::MemPool(const char* name, SystemMallocCtrl* blockSupplier, SystemMallocCtrl* extraSupplier,
                 bool trackExtra)
    : HandOffMallocCtrl(name) {
  Init(name, blockSupplier, extraSupplier, trackExtra);
}

void MemPool::Init(const char*, SystemMallocCtrl* blockSupplier, SystemMallocCtrl* extraSupplier,
                   bool trackExtra) {
  if (extraSupplier == nullptr) extraSupplier = blockSupplier;
  MallocCtrlRegistry& registry = MallocCtrlRegistry::Instance();
  registry.RegisterRelationship(blockSupplier, this);
  if (extraSupplier != blockSupplier) registry.RegisterRelationship(extraSupplier, this);
  void* record = extraSupplier->Allocate(sizeof(State)).first;
  if (record == nullptr) dp::ThrowBadAlloc();
  state_ = new (record) State();
  state_->trackExtra = trackExtra;
  state_->blockSupplier = blockSupplier;
  state_->extraSupplier = extraSupplier;
  (void)snprintf(state_->name, sizeof state_->name, "%s", GetName());
}

MemPool::~MemPool() {
  for (auto& slot : state_->small) delete slot.load(std::memory_order_acquire);
  for (auto& slot : state_->blocks) delete slot.load(std::memory_order_acquire);
  SystemMallocCtrl* extra = state_->extraSupplier;
  for (unsigned i = state_->largeCount; i-- > 0;) extra->Free(state_->large[i].block);
  if (state_->large != nullptr) extra->Free(state_->large);
  state_->~State();
  extra->Free(state_);
}

FixedSizeAllocBase* MemPool::ClassAllocator(unsigned index) {
  // Built outside any lock and published by one compare-and-swap; a thread
  // that loses the race destroys its own, which then leaves the registry.
  auto publish = [this, index](auto& slot, auto* created) {
    using Alloc = std::remove_pointer_t<decltype(created)>;
    Alloc* expected = nullptr;
    if (caches_ != nullptr) created->SetSlotCensus(caches_, index);
    if (slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
      MallocCtrlRegistry::Instance().RegisterRelationship(created, this);
      return static_cast<FixedSizeAllocBase*>(created);
    }
    delete created;
    return static_cast<FixedSizeAllocBase*>(expected);
  };
  char name[NAME_LENGTH + 32];  // the control keeps the first 63 characters
  const unsigned size = ClassSizeOf(index);
  (void)snprintf(name, sizeof name, "%s (%5d to %5d)", state_->name,
                 index == 0 ? 1 : static_cast<int>(ClassSizeOf(index - 1) + 1),
                 static_cast<int>(size));
  if (index < kSmallClassCount) {
    return publish(state_->small[index],
                   new SmallClassAlloc(name, state_->blockSupplier, size, kSmallClassBlockSize,
                                       state_->trackExtra, true));
  }
  return publish(state_->blocks[index - kSmallClassCount],
                 new BlockClassAlloc(name, state_->blockSupplier, size, kBlockClassBlockSize,
                                     state_->trackExtra, true));
}

void* MemPool::Allocate(unsigned size, void*) {
  if (ShouldFailOnNextRequest()) return nullptr;
  const int index = GetSizeClass(size);
  if (index >= 0 && index < static_cast<int>(kSmallClassCount)) {
    SmallClassAlloc* alloc = state_->small[index].load(std::memory_order_acquire);
    if (alloc == nullptr) alloc = static_cast<SmallClassAlloc*>(ClassAllocator(index));
    return alloc->AllocateCounted(size);
  }
  if (index >= 0) {
    BlockClassAlloc* alloc =
        state_->blocks[index - kSmallClassCount].load(std::memory_order_acquire);
    if (alloc == nullptr) alloc = static_cast<BlockClassAlloc*>(ClassAllocator(index));
    return alloc->AllocateCounted(size);
  }

  void* block = state_->extraSupplier->Allocate(size).first;
  if (block == nullptr) return nullptr;
  if (state_->trackExtra) {
    dp::SpinLockGuard guard(state_->largeLock);
    if (state_->largeCount == state_->largeCapacity) {
      const unsigned capacity = state_->largeCapacity == 0 ? 16 : state_->largeCapacity * 2;
      auto* grown = static_cast<LargeBlock*>(
          state_->extraSupplier->Allocate(capacity * sizeof(LargeBlock)).first);
      if (grown == nullptr) {
        state_->extraSupplier->Free(block);
        return nullptr;
      }
      std::copy_n(state_->large, state_->largeCount, grown);
      if (state_->large != nullptr) state_->extraSupplier->Free(state_->large);
      state_->large = grown;
      state_->largeCapacity = capacity;
    }
    LargeBlock* end = state_->large + state_->largeCount;
    LargeBlock* at = std::lower_bound(state_->large, end, block,
                                      [](const LargeBlock& a, void* b) { return a.block < b; });
    std::copy_backward(at, end, end + 1);
    *at = {block, size};
    ++state_->largeCount;
  }
  state_->largeBytes.fetch_add(size, std::memory_order_relaxed);
  return block;
}

void MemPool::Free(void* block, unsigned size) {
  if (block == nullptr) return;
  const int index = GetSizeClass(size);
  if (index >= 0 && index < static_cast<int>(kSmallClassCount)) {
    if (SmallClassAlloc* alloc = state_->small[index].load(std::memory_order_acquire)) {
      if (!alloc->FreeCounted(block, size)) alloc->ReportNotInUse();
    }
    return;
  }
  if (index >= 0) {
    if (BlockClassAlloc* alloc =
            state_->blocks[index - kSmallClassCount].load(std::memory_order_acquire)) {
      if (!alloc->FreeCounted(block, size)) alloc->ReportNotInUse();
    }
    return;
  }
  if (state_->trackExtra) {
    dp::SpinLockGuard guard(state_->largeLock);
    LargeBlock* end = state_->large + state_->largeCount;
    LargeBlock* at = std::lower_bound(state_->large, end, block,
                                      [](const LargeBlock& a, void* b) { return a.block < b; });
    if (at != end && at->block == block) {
      std::copy(at + 1, end, at);
      --state_->largeCount;
    }
  }
  state_->extraSupplier->Free(block);  // throws, changing nothing, for a foreign block
  state_->largeBytes.fetch_sub(size, std::memory_order_relaxed);
}

void MemPool::FreeUnsized(void* block, bool large) {
  if (block == nullptr) return;
  if (large) {
    Free(block, kLargestClassSize + 1);
    return;
  }
  for (unsigned index = 0; index < kSmallClassCount; ++index) {
    SmallClassAlloc* alloc = state_->small[index].load(std::memory_order_acquire);
    if (alloc != nullptr && alloc->Owns(block)) {
      alloc->FreeCounted(block, ClassSizeOf(index));
      return;
    }
  }
  for (unsigned index = kSmallClassCount; index < kClassCount; ++index) {
    BlockClassAlloc* alloc =
        state_->blocks[index - kSmallClassCount].load(std::memory_order_acquire);
    if (alloc != nullptr && alloc->Owns(block)) {
      alloc->FreeCounted(block, ClassSizeOf(index));
      return;
    }
  }
}

void MemPool::AttachThreadCaches(ThreadCacheSet* caches) {
  caches_ = caches;
  for (unsigned index = 0; index < kClassCount; ++index) {
    if (FixedSizeAllocBase* alloc = GetClassAllocator(index)) alloc->SetSlotCensus(caches, index);
  }
}

unsigned MemPool::RefillSlots(unsigned index, void** out, unsigned n) {
  if (ShouldFailOnNextRequest()) return 0;
  FixedSizeAllocBase* alloc = GetClassAllocator(index);
  if (alloc == nullptr) alloc = ClassAllocator(index);
  if (index < kSmallClassCount) return static_cast<SmallClassAlloc*>(alloc)->AllocateBatch(out, n);
  return static_cast<BlockClassAlloc*>(alloc)->AllocateBatch(out, n);
}

bool MemPool::ReturnSlots(unsigned index, void* const* slots, unsigned n) {
  FixedSizeAllocBase* alloc = GetClassAllocator(index);
  const bool allInUse = index < kSmallClassCount
                            ? static_cast<SmallClassAlloc*>(alloc)->FreeBatch(slots, n)
                            : static_cast<BlockClassAlloc*>(alloc)->FreeBatch(slots, n);
  if (!allInUse) alloc->ReportNotInUse();
  return allInUse;
}

void MemPool::LockForFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  for (auto& slot : state_->small) {
    if (SmallClassAlloc* alloc = slot.load(std::memory_order_acquire)) alloc->LockForFork();
  }
  for (auto& slot : state_->blocks) {
    if (BlockClassAlloc* alloc = slot.load(std::memory_order_acquire)) alloc->LockForFork();
  }
  state_->largeLock.Lock();
}

void MemPool::UnlockAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  state_->largeLock.Unlock();
  for (auto& slot : state_->blocks) {
    if (BlockClassAlloc* alloc = slot.load(std::memory_order_acquire)) alloc->UnlockAfterFork();
  }
  for (auto& slot : state_->small) {
    if (SmallClassAlloc* alloc = slot.load(std::memory_order_acquire)) alloc->UnlockAfterFork();
  }
}

void MemPool::PurgeEmptyBlocks() {
  if (caches_ != nullptr) caches_->FlushAll();
  for (auto& slot : state_->small) {
    if (SmallClassAlloc* alloc = slot.load(std::memory_order_acquire)) alloc->PurgeEmptyBlocks();
  }
  for (auto& slot : state_->blocks) {
    if (BlockClassAlloc* alloc = slot.load(std::memory_order_acquire)) alloc->PurgeEmptyBlocks();
  }
}

FixedSizeAllocBase* MemPool::GetClassAllocator(unsigned index) const {
  if (index >= kClassCount) return nullptr;
  if (index < kSmallClassCount) return state_->small[index].load(std::memory_order_acquire);
  return state_->blocks[index - kSmallClassCount].load(std::memory_order_acquire);
}

void MemPool::GetAllocationStats(unsigned* reserved, unsigned* inUse) const {
  if (reserved != nullptr) *reserved = 0;
  if (inUse == nullptr) return;
  std::uint64_t total = state_->largeBytes.load(std::memory_order_relaxed);
  if (caches_ != nullptr) total += caches_->RequestedBytes();
  for (auto& slot : state_->small) {
    if (SmallClassAlloc* alloc = slot.load(std::memory_order_acquire)) {
      total += alloc->GetRequestedBytes();
    }
  }
  for (auto& slot : state_->blocks) {
    if (BlockClassAlloc* alloc = slot.load(std::memory_order_acquire)) {
      total += alloc->GetRequestedBytes();
    }
  }
  *inUse = static_cast<unsigned>(total);
}

}  // namespace du
