// The bottom layer of the library's allocators: chunks of pages from the
// operating system, carved into variable-sized blocks.
//
// du::SystemAllocatorBase is the unlocked algorithm: first fit from a rover
// inside a chunk, address-ordered free and allocated lists, coalescing of
// neighbours on free, and exact bookkeeping (`reserved` is the size of the
// chunks held, `inUse` the payload of the blocks handed out, which may exceed
// what was asked when a whole free block is handed out). A chunk goes back to
// the operating system the moment its last block is freed.
//
// du::SystemAllocator<LockPolicy, PageRequestPolicy> makes it an allocation
// control with a lock of its own, held for every call including the mapping
// system calls. Chunks are at least 1 MiB and normally room for 32 blocks of
// the size asked, at most about 16 MiB, always whole pages; a request past
// 16 MiB gets a chunk of its own. du::BlockSystemAllocator is the same
// allocator under the name its block-supplying instances use.
//
// Layout on x86-64: a block header is 32 bytes, a chunk header 56; sizes
// round to 8 and every block is 8-aligned. Requests whose block would not fit
// 32 bits are refused. Freeing a pointer that the allocator did not hand out
// (or freeing one twice) throws std::runtime_error and changes nothing; the
// check never reads memory outside the allocator's own chunks.
#ifndef QMKUTILS_MEMORY_SYSTEMALLOCATOR_H_
#define QMKUTILS_MEMORY_SYSTEMALLOCATOR_H_

#include <cstdint>
#include <utility>

#include "qmkutils/memory/mallocctrl.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/memorymap.h"

namespace du {

class QMK_EXPORT SystemAllocatorBase {
 public:
  static constexpr unsigned kBlockHeaderSize = 32;
  static constexpr unsigned kChunkHeaderSize = 56;

  SystemAllocatorBase() = default;
  SystemAllocatorBase(const SystemAllocatorBase&) = delete;
  SystemAllocatorBase& operator=(const SystemAllocatorBase&) = delete;

  // Formats `size` bytes at `memory` as a chunk and makes it current.
  void AddRawMemory(void* memory, unsigned size);
  // Makes current a chunk that can hold a block for `n` bytes, if one can.
  bool HasChunkWithSpace(unsigned n);
  // From the current chunk: the payload and its granted size, or {null, 0}.
  std::pair<void*, unsigned> Allocate(unsigned n, unsigned minSplit);
  // {chunk, size} when freeing emptied a chunk, which has then left the list
  // and must go back to the operating system; {null, 0} otherwise.
  std::pair<void*, unsigned> Free(void* block);
  // Unlinks the current chunk whatever it holds; {null, 0} without chunks.
  std::pair<void*, unsigned> ReleaseChunk();
  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const;
  // Whether `block` is a block this allocator handed out and still holds.
  bool Owns(const void* block) const;

  // Bytes a block for `n` bytes takes, header included.
  static unsigned BlockRequirements(unsigned n);
  // Bytes a chunk whose blocks take `n` bytes needs, header included.
  static unsigned ChunkRequirements(unsigned n);
  static unsigned SpaceAvailableInBlockSize(unsigned n) { return n - kBlockHeaderSize; }
  // The largest request that Allocate accepts.
  static constexpr unsigned kMaxRequest = 0xFFFFFFFFu - 1024 * 1024;

 private:
  struct Block;
  struct Chunk;

  static void CheckLayout();
  Chunk* FindChunk(const void* block) const;
  Block* FindAllocated(const void* payload) const;
  std::pair<void*, unsigned> RemoveChunk(Chunk* chunk);
  static void RecomputeLargestFree(Chunk* chunk);

  std::uint64_t reserved_ = 0;
  std::uint64_t inUse_ = 0;
  Chunk* current_ = nullptr;
};

// One SpinLock per allocator object.
class QMK_EXPORT LockedSystemAllocatorPolicy
    : public dp::ObjectLevelLockable<LockedSystemAllocatorPolicy*> {};

// How much to map for a request, and the smallest remainder worth splitting.
template <unsigned kMinRequest, unsigned kMaxRequestSize, unsigned kBlocksPerRequest,
          unsigned kMinSplitSize, class MemorySource>
struct DefaultPageRequestPolicy {
  static constexpr unsigned kMinSplit = kMinSplitSize;

  // Whole pages for a chunk that fits a block for `n` bytes; 0 when that
  // would not fit 32 bits.
  static unsigned GetRequestSize(unsigned n) {
    const std::uint64_t block = SystemAllocatorBase::BlockRequirements(n);
    std::uint64_t request = std::uint64_t{kBlocksPerRequest} * block;
    if (request < kMinRequest) {
      request = kMinRequest;
    } else if (request > kMaxRequestSize) {
      request = ((kMaxRequestSize - 1) / block + 1) * block;
    }
    const std::uint64_t page = MemorySource::GetPageSize();
    const std::uint64_t chunk = request + SystemAllocatorBase::kChunkHeaderSize;
    const std::uint64_t pages = ((chunk - 1) / page + 1) * page;
    return pages > 0xFFFFFFFFu ? 0 : static_cast<unsigned>(pages);
  }
  static void* Map(unsigned size) { return MemorySource::MapNewMemory(nullptr, size); }
  static void Release(void* memory, unsigned size) {
    MemorySource::ReleaseMappedMemory(memory, size);
  }
};

template <class LockPolicy, class PageRequestPolicy>
class SystemAllocator : public SystemMallocCtrl, public LockPolicy {
 public:
  explicit SystemAllocator(const char* name) : SystemMallocCtrl(name) {}

  // Gives every chunk back, whether or not blocks are still in use.
  ~SystemAllocator() override {
    typename LockPolicy::Lock guard(*this);
    for (auto chunk = base_.ReleaseChunk(); chunk.first != nullptr; chunk = base_.ReleaseChunk()) {
      PageRequestPolicy::Release(chunk.first, chunk.second);
    }
  }

  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const override {
    typename LockPolicy::Lock guard(*this);
    base_.GetAllocationStats(reserved, inUse);
  }

  std::pair<void*, unsigned> Allocate(unsigned n) override {
    if (ShouldFailOnNextRequest()) return {nullptr, 0};
    typename LockPolicy::Lock guard(*this);
    if (!base_.HasChunkWithSpace(n)) {
      const unsigned size =
          n > SystemAllocatorBase::kMaxRequest ? 0 : PageRequestPolicy::GetRequestSize(n);
      void* memory = size == 0 ? nullptr : PageRequestPolicy::Map(size);
      if (memory == nullptr) return {nullptr, 0};
      base_.AddRawMemory(memory, size);
    }
    return base_.Allocate(n, PageRequestPolicy::kMinSplit);
  }

  // Throws std::runtime_error for a block this allocator did not hand out.
  void Free(void* block) override {
    typename LockPolicy::Lock guard(*this);
    const auto emptied = base_.Free(block);
    if (emptied.first != nullptr) PageRequestPolicy::Release(emptied.first, emptied.second);
  }

  bool Owns(const void* block) const {
    typename LockPolicy::Lock guard(*this);
    return base_.Owns(block);
  }

  unsigned SpaceAvailableInBlockSize(unsigned n) const override {
    return SystemAllocatorBase::SpaceAvailableInBlockSize(n);
  }

 private:
  SystemAllocatorBase base_;
};

template <unsigned kMinSplit>
using PageRequestsOfMiB = DefaultPageRequestPolicy<1048576, 16777216, 32, kMinSplit, dp::MemoryMap>;

// The system allocator under the class name of the pools' block suppliers.
template <class LockPolicy, unsigned kMinSplit>
class BlockSystemAllocator : public SystemAllocator<LockPolicy, PageRequestsOfMiB<kMinSplit>> {
 public:
  explicit BlockSystemAllocator(const char* name)
      : SystemAllocator<LockPolicy, PageRequestsOfMiB<kMinSplit>>(name) {}
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_SYSTEMALLOCATOR_H_
