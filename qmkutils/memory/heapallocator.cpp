#include "qmkutils/memory/heapallocator.h"

#include <cstdlib>

#include "qmkutils/platform/badalloc.h"

namespace du {

// 32 bytes, so the payload keeps malloc's 16-byte alignment.
struct alignas(16) HeapAllocator::BlockHeader {
  BlockHeader* previous;
  BlockHeader* next;
  std::uint64_t size;
};

HeapAllocator::HeapAllocator(const char* name, unsigned) : SystemMallocCtrl(name) {}

HeapAllocator::~HeapAllocator() {
  Lock guard(*this);
  while (blocks_ != nullptr) {
    BlockHeader* block = blocks_;
    blocks_ = block->next;
    free(block);
  }
}

std::pair<void*, unsigned> HeapAllocator::Allocate(unsigned size) {
  if (ShouldFailOnNextRequest()) return {nullptr, 0};
  Lock guard(*this);
  auto* block = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + size));
  if (block == nullptr) dp::ThrowBadAlloc();
  block->size = size;
  block->previous = nullptr;
  block->next = blocks_;
  if (blocks_ != nullptr) blocks_->previous = block;
  blocks_ = block;
  total_ += size;
  return {block + 1, size};
}

void HeapAllocator::Free(void* payload) {
  if (payload == nullptr) return;
  Lock guard(*this);
  BlockHeader* block = static_cast<BlockHeader*>(payload) - 1;
  (block->previous != nullptr ? block->previous->next : blocks_) = block->next;
  if (block->next != nullptr) block->next->previous = block->previous;
  total_ -= block->size;
  free(block);
}

void HeapAllocator::GetAllocationStats(unsigned* reserved, unsigned* inUse) const {
  Lock guard(*this);
  if (reserved != nullptr) *reserved = static_cast<unsigned>(total_);
  if (inUse != nullptr) *inUse = static_cast<unsigned>(total_);
}

}  // namespace du
