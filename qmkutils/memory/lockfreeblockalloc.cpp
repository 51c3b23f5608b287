#include "qmkutils/memory/lockfreeblockalloc.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "qmkutils/platform/qminfo.h"

#if defined(__SANITIZE_ADDRESS__)
#define QMK_LFBA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMK_LFBA_ASAN 1
#endif
#endif

#if defined(QMK_LFBA_ASAN)
#include <sanitizer/asan_interface.h>
#define QMK_LFBA_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define QMK_LFBA_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define QMK_LFBA_POISON(address, size) ((void)(address), (void)(size))
#define QMK_LFBA_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace du {

namespace {

static_assert(sizeof(void*) == 8, "the tagged words assume 64-bit addresses");

constexpr unsigned kHeaderSize = 16;
constexpr unsigned kMaxCredits = 64;
constexpr std::uint64_t kCreditMask = kMaxCredits - 1;
constexpr unsigned kMinSlots = 16;
constexpr unsigned kMaxSlots = 1024;
constexpr std::uint64_t kDefaultSuperblock = 32768;
constexpr std::uint64_t kMinSuperblock = 8192;
constexpr std::uint64_t kMaxSuperblock = 131072;
constexpr std::uint64_t kSuperblockGranule = 1024;
// The largest superblock made: 16 slots of anything larger leave the
// allocator unusable, and every size and offset fits an unsigned.
constexpr std::uint64_t kLargestSuperblock = std::uint64_t{1} << 31;
// Empty descriptors ListRemoveEmptyDesc recycles at most per call, which
// bounds the work of a Delete.
constexpr unsigned kMaxRemovals = 8;

// The anchor, from its least significant bit: tag (42 bits, advanced by every
// pop so that a stale pop fails), state (2), count of free slots not
// reserved (10), index of the first free slot (10).
enum State : unsigned { kActive = 0, kFull = 1, kPartial = 2, kEmpty = 3 };

constexpr unsigned kTagBits = 42;
constexpr unsigned kStateShift = 42;
constexpr unsigned kCountShift = 44;
constexpr unsigned kAvailShift = 54;
constexpr std::uint64_t kTagMask = (std::uint64_t{1} << kTagBits) - 1;
constexpr std::uint64_t kFieldMask = 0x3FF;

struct Anchor {
  std::uint64_t tag;
  unsigned state;
  unsigned count;
  unsigned avail;

  static Anchor Unpack(std::uint64_t word) {
    return {word & kTagMask, static_cast<unsigned>((word >> kStateShift) & 3),
            static_cast<unsigned>((word >> kCountShift) & kFieldMask),
            static_cast<unsigned>((word >> kAvailShift) & kFieldMask)};
  }
  std::uint64_t Pack() const {
    return (tag & kTagMask) | (std::uint64_t{state} << kStateShift) |
           ((count & kFieldMask) << kCountShift) | ((avail & kFieldMask) << kAvailShift);
  }
};

// Heads of the descriptor stacks: the descriptor's address over 64 in the
// low 42 bits (user addresses are below 2^48), and a counter advanced by every
// change in the high 22 bits, so that a pop whose view went stale while the
// same descriptor left and came back fails.
constexpr unsigned kListPointerBits = 42;
constexpr std::uint64_t kListPointerMask = (std::uint64_t{1} << kListPointerBits) - 1;
constexpr std::uint64_t kListTagUnit = std::uint64_t{1} << kListPointerBits;

template <class Node>
void StackPush(std::atomic<std::uint64_t>& head, Node* node) {
  const std::uint64_t pointer = reinterpret_cast<std::uint64_t>(node) >> 6;
  std::uint64_t old = head.load(std::memory_order_relaxed);
  do {
    node->listNext.store(old & kListPointerMask, std::memory_order_relaxed);
  } while (!head.compare_exchange_weak(old, (old & ~kListPointerMask) + kListTagUnit + pointer,
                                       std::memory_order_release, std::memory_order_relaxed));
}

template <class Node>
Node* StackPop(std::atomic<std::uint64_t>& head) {
  std::uint64_t old = head.load(std::memory_order_acquire);
  for (;;) {
    const std::uint64_t pointer = old & kListPointerMask;
    if (pointer == 0) return nullptr;
    auto* node = reinterpret_cast<Node*>(pointer << 6);
    // Nodes are never freed while the allocator lives, so a stale `node` is
    // still readable; the counter makes the CAS fail then.
    const std::uint64_t next = node->listNext.load(std::memory_order_relaxed);
    if (head.compare_exchange_weak(old, (old & ~kListPointerMask) + kListTagUnit + next,
                                   std::memory_order_acquire, std::memory_order_acquire)) {
      return node;
    }
  }
}

// A slot's first word: its descriptor while in use, the next free index while
// free. Readers may look at a slot that has just changed hands (their CAS then
// fails), so every access is atomic.
std::atomic_ref<std::uint64_t> SlotWord(char* slot) {
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(slot));
}

unsigned ComputeSuperblockSize(unsigned slotSize, unsigned requested) {
  auto roundUp = [](std::uint64_t value) {
    return (value + kSuperblockGranule - 1) / kSuperblockGranule * kSuperblockGranule;
  };
  std::uint64_t size = requested == 0 ? kDefaultSuperblock : roundUp(requested);
  size = std::clamp(size, kMinSuperblock, kMaxSuperblock);
  if (size / slotSize < kMinSlots) {
    size = roundUp(std::uint64_t{kMinSlots} * slotSize);
    return size > kLargestSuperblock ? 0 : static_cast<unsigned>(size);
  }
  return size / slotSize <= kMaxSlots ? static_cast<unsigned>(size) : 0;
}

unsigned ComputeSlotSize(unsigned elementSize) {
  const std::uint64_t size = (std::uint64_t{elementSize} + 7) / 8 * 8 + kHeaderSize;
  // An element too large for any superblock: ComputeSuperblockSize gives 0.
  return static_cast<unsigned>(std::min<std::uint64_t>(size, kLargestSuperblock));
}

}  // namespace

LockFreeBlockAlloc::LockFreeBlockAlloc(unsigned elementSize, unsigned superblockSize,
                                       bool deallocateOnDestruct)
    : slotSize_(ComputeSlotSize(elementSize)),
      superblockSize_(ComputeSuperblockSize(slotSize_, superblockSize)),
      maxCount_(superblockSize_ / slotSize_),
      heapCount_(4 * static_cast<unsigned>(std::max(1, dp::QmInfo::GetNumberOfProcessors()))),
      deallocateOnDestruct_(deallocateOnDestruct),
      heaps_(new ProcHeap[heapCount_]) {
  for (unsigned i = 0; i < heapCount_; ++i) heaps_[i].owner = this;
}

LockFreeBlockAlloc::~LockFreeBlockAlloc() {
  Descriptor* desc = allDescriptors_.load(std::memory_order_acquire);
  while (desc != nullptr) {
    Descriptor* next = desc->allNext;
    QMK_LFBA_UNPOISON(desc->superblock, superblockSize_);
    std::free(desc->superblock);
    delete desc;
    desc = next;
  }
  delete[] heaps_;
}

void* LockFreeBlockAlloc::New() {
  if (superblockSize_ == 0) return nullptr;
  const unsigned turn = heapCounter_.fetch_add(1, std::memory_order_relaxed) + 1;
  ProcHeap* heap = &heaps_[turn % heapCount_];
  for (;;) {
    if (void* element = AllocateFromActive(heap)) return element;
    if (void* element = AllocateFromPartial(heap)) return element;
    bool outOfMemory = false;
    if (void* element = AllocateFromNewSuperblock(heap, &outOfMemory)) return element;
    if (outOfMemory) return nullptr;
  }
}

void* LockFreeBlockAlloc::AllocateFromActive(ProcHeap* heap) {
  // Reserve one credit: the active word then guarantees a free slot to us.
  std::uint64_t active = heap->active.load(std::memory_order_acquire);
  std::uint64_t reduced;
  do {
    if (active == 0) return nullptr;
    reduced = (active & kCreditMask) != 0 ? active - 1 : 0;
  } while (!heap->active.compare_exchange_weak(active, reduced, std::memory_order_acquire,
                                               std::memory_order_acquire));
  auto* desc = reinterpret_cast<Descriptor*>(active & ~kCreditMask);
  unsigned moreCredits = 0;
  char* slot = PopReservedSlot(desc, (active & kCreditMask) == 0, &moreCredits);
  if (moreCredits > 0) UpdateActive(heap, desc, moreCredits);
  return HandOut(desc, slot);
}

char* LockFreeBlockAlloc::PopReservedSlot(Descriptor* desc, bool tookLastCredit,
                                          unsigned* moreCredits) {
  std::uint64_t oldWord = desc->anchor.load(std::memory_order_acquire);
  for (;;) {
    const Anchor old = Anchor::Unpack(oldWord);
    Anchor next = old;
    char* slot = desc->superblock + std::size_t{old.avail} * desc->slotSize;
    // A stale view may read a slot already handed out; the tag makes the CAS
    // below fail then.
    next.avail = static_cast<unsigned>(SlotWord(slot).load(std::memory_order_relaxed));
    next.tag = old.tag + 1;
    *moreCredits = 0;
    if (tookLastCredit) {
      if (old.count == 0) {
        next.state = kFull;
      } else {
        *moreCredits = std::min(old.count, kMaxCredits);
        next.count = old.count - *moreCredits;
      }
    }
    if (desc->anchor.compare_exchange_weak(oldWord, next.Pack(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      return slot;
    }
  }
}

void* LockFreeBlockAlloc::HandOut(Descriptor* desc, char* slot) {
  SlotWord(slot).store(reinterpret_cast<std::uint64_t>(desc), std::memory_order_relaxed);
  QMK_LFBA_UNPOISON(slot + kHeaderSize, slotSize_ - kHeaderSize);
  return slot + kHeaderSize;
}

void LockFreeBlockAlloc::UpdateActive(ProcHeap* heap, Descriptor* desc, unsigned credits) {
  std::uint64_t expected = 0;
  const std::uint64_t active = reinterpret_cast<std::uint64_t>(desc) | (credits - 1);
  if (heap->active.compare_exchange_strong(expected, active, std::memory_order_acq_rel,
                                           std::memory_order_relaxed)) {
    return;
  }
  // Another descriptor became active first: give the credits back and keep
  // the descriptor as a partial one.
  std::uint64_t oldWord = desc->anchor.load(std::memory_order_acquire);
  for (;;) {
    Anchor next = Anchor::Unpack(oldWord);
    next.count += credits;
    next.state = kPartial;
    if (desc->anchor.compare_exchange_weak(oldWord, next.Pack(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      break;
    }
  }
  HeapPutPartial(desc);
}

void LockFreeBlockAlloc::HeapPutPartial(Descriptor* desc) {
  ProcHeap* heap = desc->heap.load(std::memory_order_relaxed);
  Descriptor* displaced = heap->partial.exchange(desc, std::memory_order_acq_rel);
  if (displaced != nullptr) ListPutPartial(displaced);
}

void* LockFreeBlockAlloc::AllocateFromPartial(ProcHeap* heap) {
  for (;;) {
    Descriptor* desc = heap->partial.exchange(nullptr, std::memory_order_acq_rel);
    if (desc == nullptr) desc = ListGetPartial();
    if (desc == nullptr) return nullptr;
    // The descriptor is ours alone now; only Deletes still change its anchor.
    desc->heap.store(heap, std::memory_order_relaxed);
    std::uint64_t oldWord = desc->anchor.load(std::memory_order_acquire);
    unsigned credits = 0;
    bool empty = false;
    for (;;) {
      const Anchor old = Anchor::Unpack(oldWord);
      if (old.state == kEmpty) {
        empty = true;
        break;
      }
      // A partial descriptor has count >= 1: one slot for us, credits from
      // the rest.
      Anchor next = old;
      credits = std::min(old.count - 1, kMaxCredits);
      next.count = old.count - credits - 1;
      next.state = credits > 0 ? kActive : kFull;
      if (desc->anchor.compare_exchange_weak(oldWord, next.Pack(), std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        break;
      }
    }
    if (empty) {
      Recycle(desc);
      continue;
    }
    unsigned unused = 0;
    char* slot = PopReservedSlot(desc, false, &unused);
    if (credits > 0) UpdateActive(heap, desc, credits);
    return HandOut(desc, slot);
  }
}

void* LockFreeBlockAlloc::AllocateFromNewSuperblock(ProcHeap* heap, bool* outOfMemory) {
  Descriptor* desc = TakeRecycled();
  if (desc == nullptr) {
    // 64-aligned so that slots (multiples of 8 bytes) keep their alignment.
    auto* superblock = static_cast<char*>(std::aligned_alloc(64, superblockSize_));
    if (superblock == nullptr) {
      *outOfMemory = true;
      return nullptr;
    }
    desc = new (std::nothrow) Descriptor;
    if (desc == nullptr) {
      std::free(superblock);
      *outOfMemory = true;
      return nullptr;
    }
    desc->superblock = superblock;
    desc->slotSize = slotSize_;
    desc->maxCount = maxCount_;
    QMK_LFBA_POISON(superblock, superblockSize_);
    for (unsigned i = 0; i < maxCount_; ++i) {
      QMK_LFBA_UNPOISON(superblock + std::size_t{i} * slotSize_, kHeaderSize);
    }
    desc->allNext = allDescriptors_.load(std::memory_order_relaxed);
    while (!allDescriptors_.compare_exchange_weak(desc->allNext, desc, std::memory_order_release,
                                                  std::memory_order_relaxed)) {
    }
    superblockCount_.fetch_add(1, std::memory_order_relaxed);
  }
  desc->heap.store(heap, std::memory_order_relaxed);
  for (unsigned i = 0; i < maxCount_; ++i) {
    const unsigned next = i + 1 < maxCount_ ? i + 1 : 0;
    SlotWord(desc->superblock + std::size_t{i} * slotSize_).store(next, std::memory_order_relaxed);
  }
  const unsigned credits = std::min(maxCount_ - 1, kMaxCredits);
  Anchor anchor = Anchor::Unpack(desc->anchor.load(std::memory_order_relaxed));
  anchor.tag += 1;
  anchor.avail = 1;
  anchor.count = maxCount_ - 1 - credits;
  anchor.state = kActive;
  desc->anchor.store(anchor.Pack(), std::memory_order_relaxed);
  std::uint64_t expected = 0;
  const std::uint64_t active = reinterpret_cast<std::uint64_t>(desc) | (credits - 1);
  if (!heap->active.compare_exchange_strong(expected, active, std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
    // Another superblock became active meanwhile: keep this one for later.
    Recycle(desc);
    return nullptr;
  }
  return HandOut(desc, desc->superblock);
}

void LockFreeBlockAlloc::Delete(void* element) {
  if (element == nullptr) return;
  char* slot = static_cast<char*>(element) - kHeaderSize;
  auto* desc = reinterpret_cast<Descriptor*>(SlotWord(slot).load(std::memory_order_relaxed));
  const auto index = static_cast<unsigned>((slot - desc->superblock) / desc->slotSize);
  // Poisoned before the slot is published: once free, another thread may take
  // it and unpoison it at once.
  QMK_LFBA_POISON(element, slotSize_ - kHeaderSize);
  std::uint64_t oldWord = desc->anchor.load(std::memory_order_acquire);
  Anchor old;
  Anchor next;
  do {
    old = Anchor::Unpack(oldWord);
    next = old;
    SlotWord(slot).store(old.avail, std::memory_order_relaxed);
    next.avail = index;
    if (old.state == kFull) next.state = kPartial;
    if (old.count == desc->maxCount - 1) {
      next.state = kEmpty;
    } else {
      next.count = old.count + 1;
    }
  } while (!desc->anchor.compare_exchange_weak(oldWord, next.Pack(), std::memory_order_acq_rel,
                                               std::memory_order_acquire));
  if (next.state == kEmpty) {
    RemoveEmptyDesc(desc);
  } else if (old.state == kFull) {
    HeapPutPartial(desc);
  }
}

void LockFreeBlockAlloc::RemoveEmptyDesc(Descriptor* desc) {
  ProcHeap* heap = desc->heap.load(std::memory_order_relaxed);
  Descriptor* expected = desc;
  if (heap->partial.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
    // The descriptor may have been recycled and reused since it became empty:
    // only an empty one may be recycled, a live one goes back on the list.
    if (Anchor::Unpack(desc->anchor.load(std::memory_order_acquire)).state == kEmpty) {
      Recycle(desc);
    } else {
      ListPutPartial(desc);
    }
  } else {
    ListRemoveEmptyDesc();
  }
}

LockFreeBlockAlloc::Descriptor* LockFreeBlockAlloc::ListGetPartial() {
  return StackPop<Descriptor>(partialList_);
}

void LockFreeBlockAlloc::ListPutPartial(Descriptor* desc) { StackPush(partialList_, desc); }

void LockFreeBlockAlloc::ListRemoveEmptyDesc() {
  for (unsigned i = 0; i < kMaxRemovals; ++i) {
    Descriptor* desc = ListGetPartial();
    if (desc == nullptr) return;
    if (Anchor::Unpack(desc->anchor.load(std::memory_order_acquire)).state != kEmpty) {
      ListPutPartial(desc);
      return;
    }
    Recycle(desc);
  }
}

void LockFreeBlockAlloc::Recycle(Descriptor* desc) { StackPush(recycledList_, desc); }

LockFreeBlockAlloc::Descriptor* LockFreeBlockAlloc::TakeRecycled() {
  return StackPop<Descriptor>(recycledList_);
}

}  // namespace du
