#include "qmkutils/memory/fixedsizealloc.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "qmkutils/memory/internal/circularlist.h"
#include "qmkutils/memory/internal/poison.h"
#include "qmkutils/memory/mallocctrlregistry.h"
#include "qmkutils/tracing/tracer.h"

namespace du {
namespace {

const dp::QMTracer s_trace("du", "FixedSizeAlloc");

}  // namespace

// A block's header; its slots follow.
struct FixedSizeAllocBase::Block {
  FixedSizeAllocBase* owner;
  std::uint32_t count;  // slots in use
  std::uint32_t slotCount;
  void* freeHead;  // a free slot's first word links to the next
  Block* previous;
  Block* next;
  // Packed slots: one bit per slot in use, so a second free is caught.
  std::uint64_t* liveSlots;

  char* Slots() { return reinterpret_cast<char*>(this) + kBlockHeaderSize; }
};

namespace {

// Slot offsets are divided by the stride with a multiplication: exact for
// any multiple of the stride below 2^42 / stride, far beyond a block.
constexpr int kReciprocalShift = 42;

// A back-pointer slot starts with its block's address.
constexpr std::size_t kBackPointerSize = sizeof(void*);

std::uint64_t ReciprocalOf(unsigned stride) {
  return ((std::uint64_t{1} << kReciprocalShift) + stride - 1) / stride;
}

}  // namespace

FixedSizeAllocBase::FixedSizeAllocBase(const char* name, SystemMallocCtrl* supplier,
                                       unsigned stride, unsigned requestSize, SlotLayout layout,
                                       bool deallocateOnDestruction, bool keepOneEmpty)
    : FixedSizeMallocCtrl(name),
      keepOneEmpty_(keepOneEmpty),
      deallocateOnDestruction_(deallocateOnDestruction),
      layout_(layout),
      stride_(stride),
      requestSize_(requestSize),
      strideReciprocal_(ReciprocalOf(stride)),
      supplier_(supplier) {
  MallocCtrlRegistry::Instance().RegisterRelationship(supplier, this);
}

FixedSizeAllocBase::~FixedSizeAllocBase() {
  // Blocks still held are the owner's to give back (DeallocateAll); only
  // the bookkeeping that lives outside them goes here.
  for (Block* list : {available_, full_}) {
    if (list == nullptr) continue;
    Block* block = list;
    do {
      free(block->liveSlots);
      block = block->next;
    } while (block != list);
  }
}

std::size_t FixedSizeAllocBase::SlotIndex(std::size_t offset) const {
  return static_cast<std::size_t>((offset * strideReciprocal_) >> kReciprocalShift);
}

bool FixedSizeAllocBase::AddBlock() {
  const auto [memory, granted] = supplier_->Allocate(requestSize_);
  if (memory == nullptr) return false;
  auto* block = static_cast<Block*>(memory);
  block->owner = this;
  block->count = 0;
  const unsigned slots = (granted - kBlockHeaderSize) / stride_;
  block->slotCount = slots;
  block->liveSlots = nullptr;
  if (layout_ == SlotLayout::kPacked) {
    block->liveSlots = static_cast<std::uint64_t*>(calloc((slots + 63) / 64, 8));
    if (block->liveSlots == nullptr) {
      supplier_->Free(block);
      return false;
    }
    blocksByAddress_.insert(
        std::upper_bound(blocksByAddress_.begin(), blocksByAddress_.end(), block, std::less<>()),
        block);
  }
  char* slot = block->Slots();
  block->freeHead = slot;
  for (unsigned i = 1; i < slots; ++i, slot += stride_) {
    *reinterpret_cast<void**>(slot) = slot + stride_;
  }
  *reinterpret_cast<void**>(slot) = nullptr;
  poison::Poison(block->Slots(), std::size_t{slots} * stride_);
  circular::PushFront(available_, block);
  reserved_ += std::uint64_t{slots} * stride_;
  ++blockCount_;
  return true;
}

void* FixedSizeAllocBase::Allocate(void*) {
  if (ShouldFailOnNextRequest()) return nullptr;
  if (available_ == nullptr && !AddBlock()) return nullptr;
  Block* block = available_;
  char* slot = static_cast<char*>(block->freeHead);
  poison::Unpoison(slot, stride_);
  block->freeHead = *reinterpret_cast<void**>(slot);
  ++block->count;
  if (block->freeHead == nullptr) {
    circular::Remove(available_, block);
    circular::PushFront(full_, block);
  }
  inUse_ += stride_;
  if (layout_ == SlotLayout::kPacked) {
    const std::size_t index = SlotIndex(slot - block->Slots());
    block->liveSlots[index / 64] |= std::uint64_t{1} << (index % 64);
    return slot;
  }
  *reinterpret_cast<Block**>(slot) = block;
  return slot + kBackPointerSize;
}

FixedSizeAllocBase::Block* FixedSizeAllocBase::FindBlock(void* slot) {
  auto* address = static_cast<char*>(slot);
  if (layout_ == SlotLayout::kBackPointer) {
    // A free slot is poisoned under the sanitizer, and otherwise its first
    // word links to another slot, whose first word is never this allocator.
    if (poison::IsPoisoned(address)) return nullptr;
    auto* block = *reinterpret_cast<Block**>(address);
    if (block == nullptr || block->owner != this) return nullptr;
    return block;
  }
  if (lastFreed_ != nullptr && address >= lastFreed_->Slots() &&
      address < lastFreed_->Slots() + std::size_t{lastFreed_->slotCount} * stride_) {
    return lastFreed_;
  }
  auto after = std::upper_bound(blocksByAddress_.begin(), blocksByAddress_.end(), address,
                                [](const char* a, Block* b) { return a < b->Slots(); });
  if (after == blocksByAddress_.begin()) return nullptr;
  Block* block = *std::prev(after);
  if (address >= block->Slots() + std::size_t{block->slotCount} * stride_) return nullptr;
  lastFreed_ = block;
  return block;
}

unsigned FixedSizeAllocBase::ChooseBlockSize(unsigned blockSize, unsigned ifZero, unsigned least,
                                             unsigned most) {
  if (blockSize == 0) return ifZero;
  if (blockSize <= least) return least;
  if (blockSize >= most) return most;
  return RoundUp(blockSize, 1024);
}

void FixedSizeAllocBase::Free(void* slot) {
  if (!FreeCounted(slot, 0)) ReportNotInUse();
}

void FixedSizeAllocBase::ReportNotInUse() const {
  s_trace(dp::Error, "%s: a slot that is not in use was freed; ignored.\n", GetName());
}

std::uint64_t FixedSizeAllocBase::SlotsInUse() const {
  const std::uint64_t handedOut = inUse_ / stride_;
  return census_ == nullptr ? handedOut : handedOut - census_->CachedSlots(censusKey_);
}

bool FixedSizeAllocBase::Owns(void* userSlot) {
  char* slot = static_cast<char*>(userSlot);
  if (layout_ == SlotLayout::kBackPointer) slot -= kBackPointerSize;
  Block* block = FindBlock(slot);
  if (block == nullptr) return false;
  const auto offset = static_cast<std::size_t>(slot - block->Slots());
  return SlotIndex(offset) * stride_ == offset;
}

bool FixedSizeAllocBase::FreeCounted(void* userSlot, unsigned requested) {
  if (userSlot == nullptr) return false;
  char* slot = static_cast<char*>(userSlot);
  if (layout_ == SlotLayout::kBackPointer) slot -= kBackPointerSize;
  Block* block = FindBlock(slot);
  const std::size_t offset = block == nullptr ? 0 : slot - block->Slots();
  const std::size_t index = SlotIndex(offset);
  bool inUse = block != nullptr && index * stride_ == offset && index < block->slotCount;
  if (inUse && layout_ == SlotLayout::kPacked) {
    const std::uint64_t bit = std::uint64_t{1} << (index % 64);
    inUse = (block->liveSlots[index / 64] & bit) != 0;
    if (inUse) block->liveSlots[index / 64] &= ~bit;
  }
  if (!inUse) return false;

  if (block->freeHead == nullptr) {
    circular::Remove(full_, block);
    circular::PushFront(available_, block);
  }
  *reinterpret_cast<void**>(slot) = block->freeHead;
  block->freeHead = slot;
  poison::Poison(slot, stride_);
  --block->count;
  inUse_ -= stride_;
  requestedBytes_ -= requested;
  if (block->count == 0 && !(keepOneEmpty_ && available_ == block && block->next == block)) {
    circular::Remove(available_, block);
    ReleaseBlock(block);
  }
  return true;
}

void* FixedSizeAllocBase::AllocateCounted(unsigned requested) {
  void* slot = FixedSizeAllocBase::Allocate(nullptr);
  if (slot != nullptr) requestedBytes_ += requested;
  return slot;
}

// `block` has already left its list.
void FixedSizeAllocBase::ReleaseBlock(Block* block) {
  reserved_ -= std::uint64_t{block->slotCount} * stride_;
  --blockCount_;
  if (layout_ == SlotLayout::kPacked) {
    free(block->liveSlots);
    blocksByAddress_.erase(
        std::lower_bound(blocksByAddress_.begin(), blocksByAddress_.end(), block, std::less<>()));
    if (lastFreed_ == block) lastFreed_ = nullptr;
  }
  supplier_->Free(block);
}

void** FixedSizeAllocBase::WriteSlotsInUse(void** out, void** outEnd) const {
  for (Block* list : {available_, full_}) {
    if (list == nullptr) continue;
    Block* block = list;
    do {
      char* slot = block->Slots();
      for (unsigned i = 0; i < block->slotCount && out != outEnd; ++i, slot += stride_) {
        if (!poison::IsPoisoned(slot) && *reinterpret_cast<Block**>(slot) == block) {
          *out++ = slot + kBackPointerSize;
        }
      }
      block = block->next;
    } while (block != list && out != outEnd);
  }
  return out;
}

bool FixedSizeAllocBase::IsEmpty() const { return blockCount_ <= 1 && SlotsInUse() == 0; }

void FixedSizeAllocBase::PurgeEmptyBlocks() {
  if (keepOneEmpty_ && available_ != nullptr && available_->next == available_ &&
      available_->count == 0) {
    Block* block = available_;
    available_ = nullptr;
    ReleaseBlock(block);
  }
}

void FixedSizeAllocBase::DeallocateAll() {
  for (Block** list : {&available_, &full_}) {
    while (*list != nullptr) {
      Block* block = *list;
      circular::Remove(*list, block);
      ReleaseBlock(block);
    }
  }
  inUse_ = reserved_ = requestedBytes_ = 0;
}

void FixedSizeAllocBase::GetAllocationStats(unsigned* reserved, unsigned* inUse) const {
  if (reserved != nullptr) *reserved = static_cast<unsigned>(reserved_);
  if (inUse != nullptr) *inUse = static_cast<unsigned>(SlotsInUse() * stride_);
}

void FixedSizeAllocBase::GetAllocationDetails(unsigned* blocks, unsigned* capacitySlots,
                                              unsigned* usedSlots) const {
  if (blocks != nullptr) *blocks = static_cast<unsigned>(blockCount_);
  if (capacitySlots != nullptr) *capacitySlots = static_cast<unsigned>(reserved_ / stride_);
  if (usedSlots != nullptr) *usedSlots = static_cast<unsigned>(SlotsInUse());
}

}  // namespace du
