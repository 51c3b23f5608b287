#include "qmkutils/memory/systemallocator.h"

#include <cstddef>
#include <stdexcept>

#include "qmkutils/memory/internal/circularlist.h"
#include "qmkutils/memory/internal/poison.h"

namespace du {

// Free blocks form a circular list and allocated blocks another, both in
// address order; `size` is the payload that follows the header.
struct SystemAllocatorBase::Block {
  Block* next;
  Block* previous;
  Chunk* chunk;
  std::uint64_t size;

  char* Payload() { return reinterpret_cast<char*>(this) + kBlockHeaderSize; }
  char* End() { return Payload() + size; }
};

struct SystemAllocatorBase::Chunk {
  Chunk* next;
  Chunk* previous;
  std::uint64_t size;
  std::uint64_t largestFree;
  Block* rover;      // a free block where searches start; null when none is free
  Block* allocated;  // the allocated block of lowest address; null when none
  SystemAllocatorBase* owner;

  char* Begin() { return reinterpret_cast<char*>(this); }
  char* End() { return Begin() + size; }
};

void SystemAllocatorBase::CheckLayout() {
  static_assert(sizeof(Block) == kBlockHeaderSize);
  static_assert(sizeof(Chunk) == kChunkHeaderSize);
}

namespace {

using circular::LinkAfter;
using circular::Unlink;

constexpr std::uint64_t RoundUp8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

}  // namespace

unsigned SystemAllocatorBase::BlockRequirements(unsigned n) {
  return static_cast<unsigned>(RoundUp8(n) + kBlockHeaderSize);
}

unsigned SystemAllocatorBase::ChunkRequirements(unsigned n) {
  return static_cast<unsigned>(RoundUp8(n) + kChunkHeaderSize);
}

void SystemAllocatorBase::AddRawMemory(void* memory, unsigned size) {
  auto* chunk = static_cast<Chunk*>(memory);
  poison::AddLeakRoot(chunk, size);
  auto* block = reinterpret_cast<Block*>(chunk->Begin() + kChunkHeaderSize);
  block->next = block->previous = block;
  block->chunk = chunk;
  block->size = size - kChunkHeaderSize - kBlockHeaderSize;
  poison::Poison(block->Payload(), block->size);
  chunk->size = size;
  chunk->largestFree = block->size;
  chunk->rover = block;
  chunk->allocated = nullptr;
  chunk->owner = this;
  chunk->next = chunk->previous = chunk;
  if (current_ != nullptr) LinkAfter(current_, chunk);
  current_ = chunk;
  reserved_ += size;
}

bool SystemAllocatorBase::HasChunkWithSpace(unsigned n) {
  if (current_ == nullptr) return false;
  const std::uint64_t need = RoundUp8(n) + kBlockHeaderSize;
  // Of the current chunk and its two neighbours, the tightest that fits, so
  // big free areas are kept for big requests.
  Chunk* best = nullptr;
  for (Chunk* candidate : {current_->previous, current_->next, current_}) {
    if (candidate->largestFree >= need &&
        (best == nullptr || candidate->largestFree < best->largestFree)) {
      best = candidate;
    }
  }
  if (best == nullptr) {
    for (Chunk* chunk = current_->next->next; chunk != current_->previous && chunk != current_;
         chunk = chunk->next) {
      if (chunk->largestFree >= need) {
        best = chunk;
        break;
      }
    }
  }
  if (best == nullptr) return false;
  current_ = best;
  return true;
}

std::pair<void*, unsigned> SystemAllocatorBase::Allocate(unsigned n, unsigned minSplit) {
  Chunk* chunk = current_;
  if (chunk == nullptr || chunk->rover == nullptr) return {nullptr, 0};
  const std::uint64_t need = RoundUp8(n) + kBlockHeaderSize;
  Block* found = chunk->rover;
  while (found->size < need) {
    found = found->previous;
    if (found == chunk->rover) return {nullptr, 0};
  }
  chunk->rover = found;
  const bool wasLargest = found->size == chunk->largestFree;

  Block* block;
  const std::uint64_t remainder = found->size - need;
  if (remainder >= minSplit) {
    // Carved from the end, so the free block keeps its place in the list.
    found->size = remainder;
    block = reinterpret_cast<Block*>(found->End());
    poison::Unpoison(block, need);
    block->size = RoundUp8(n);
  } else {
    block = found;
    if (found->next == found) {
      chunk->rover = nullptr;
    } else {
      chunk->rover = found->previous;
      Unlink(found);
    }
    poison::Unpoison(block->Payload(), block->size);
  }
  block->chunk = chunk;

  // The allocated list, in address order from its lowest block.
  if (chunk->allocated == nullptr) {
    block->next = block->previous = block;
    chunk->allocated = block;
  } else {
    Block* after = chunk->allocated->previous;  // the highest
    while (after > block && after != chunk->allocated) after = after->previous;
    if (after > block) {  // lower than every allocated block
      LinkAfter(chunk->allocated->previous, block);
      chunk->allocated = block;
    } else {
      LinkAfter(after, block);
    }
  }
  if (wasLargest) RecomputeLargestFree(chunk);
  inUse_ += block->size;
  return {block->Payload(), static_cast<unsigned>(block->size)};
}

void SystemAllocatorBase::RecomputeLargestFree(Chunk* chunk) {
  chunk->largestFree = 0;
  if (chunk->rover == nullptr) return;
  Block* block = chunk->rover;
  do {
    if (block->size > chunk->largestFree) chunk->largestFree = block->size;
    block = block->next;
  } while (block != chunk->rover);
}

SystemAllocatorBase::Chunk* SystemAllocatorBase::FindChunk(const void* block) const {
  if (current_ == nullptr) return nullptr;
  const char* address = static_cast<const char*>(block);
  Chunk* chunk = current_;
  do {
    if (address > chunk->Begin() && address < chunk->End()) return chunk;
    chunk = chunk->next;
  } while (chunk != current_);
  return nullptr;
}

SystemAllocatorBase::Block* SystemAllocatorBase::FindAllocated(const void* payload) const {
  Chunk* chunk = FindChunk(payload);
  if (chunk == nullptr || chunk->owner != this || chunk->allocated == nullptr) return nullptr;
  Block* candidate = chunk->allocated;
  do {
    if (candidate->Payload() == payload) return candidate;
    if (candidate->Payload() > payload) break;
    candidate = candidate->next;
  } while (candidate != chunk->allocated);
  return nullptr;
}

bool SystemAllocatorBase::Owns(const void* payload) const {
  return FindAllocated(payload) != nullptr;
}

std::pair<void*, unsigned> SystemAllocatorBase::Free(void* payload) {
  // Only this allocator's own lists are read: a foreign pointer is compared
  // against them, never dereferenced.
  Block* block = FindAllocated(payload);
  if (block == nullptr) {
    throw std::runtime_error(
        "SytemAllocator::Free() block was not allocated by this sytem allocator.");
  }

  Chunk* chunk = block->chunk;
  inUse_ -= block->size;
  if (block->next == block) {
    chunk->allocated = nullptr;
  } else {
    if (chunk->allocated == block) chunk->allocated = block->next;
    Unlink(block);
  }
  poison::Poison(block->Payload(), block->size);

  // Into the free list at its address-ordered place, merging with the
  // neighbours it touches.
  if (chunk->rover == nullptr) {
    block->next = block->previous = block;
  } else {
    Block* lowest = chunk->rover;
    while (lowest->previous < lowest) lowest = lowest->previous;
    Block* before = lowest->previous;  // the highest free block
    if (block > lowest) {
      before = lowest;
      while (before->next != lowest && before->next < block) before = before->next;
    }
    LinkAfter(before, block);
    if (before < block && before->End() == reinterpret_cast<char*>(block)) {
      before->size += kBlockHeaderSize + block->size;
      Unlink(block);
      poison::Poison(block, kBlockHeaderSize);
      block = before;
    }
    Block* after = block->next;
    if (after > block && block->End() == reinterpret_cast<char*>(after)) {
      block->size += kBlockHeaderSize + after->size;
      Unlink(after);
      poison::Poison(after, kBlockHeaderSize);
    }
  }
  chunk->rover = block;
  if (block->size > chunk->largestFree) chunk->largestFree = block->size;

  if (chunk->allocated != nullptr) return {nullptr, 0};
  return RemoveChunk(chunk);
}

std::pair<void*, unsigned> SystemAllocatorBase::ReleaseChunk() {
  return current_ == nullptr ? std::pair<void*, unsigned>{nullptr, 0} : RemoveChunk(current_);
}

// Unlinks `chunk`, making the one before it current, and hands it back for
// unmapping.
std::pair<void*, unsigned> SystemAllocatorBase::RemoveChunk(Chunk* chunk) {
  current_ = chunk->next == chunk ? nullptr : chunk->previous;
  Unlink(chunk);
  reserved_ -= chunk->size;
  poison::Unpoison(chunk, chunk->size);
  poison::RemoveLeakRoot(chunk, chunk->size);
  return {chunk, static_cast<unsigned>(chunk->size)};
}

void SystemAllocatorBase::GetAllocationStats(unsigned* reserved, unsigned* inUse) const {
  if (reserved != nullptr) *reserved = static_cast<unsigned>(reserved_);
  if (inUse != nullptr) *inUse = static_cast<unsigned>(inUse_);
}

}  // namespace du
