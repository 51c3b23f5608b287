// An allocation control over a private heap.
//
// du::HeapAllocator hands out blocks of any size from a heap of its own and
// gives every block still held back when it is destroyed. Each block
// records the size asked for, which is what Allocate reports as granted and
// what the statistics count (reserved and in use are both the total of the
// blocks held). Blocks are 16-aligned.
//
// Thread-safe: every operation runs under the allocator's own lock. With the
// fail switch set, Allocate returns {null, 0} without touching the heap; when
// the heap itself is exhausted it throws std::bad_alloc ("bad allocation").
#ifndef QMKUTILS_MEMORY_HEAPALLOCATOR_H_
#define QMKUTILS_MEMORY_HEAPALLOCATOR_H_

#include <cstdint>
#include <utility>

#include "qmkutils/memory/mallocctrl.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/lockable.h"

namespace du {

class QMK_EXPORT HeapAllocator : public SystemMallocCtrl,
                                 public dp::ObjectLevelLockable<HeapAllocator*> {
 public:
  // `initialSize` is a sizing hint for the heap.
  HeapAllocator(const char* name, unsigned initialSize);
  ~HeapAllocator() override;
  HeapAllocator(const HeapAllocator&) = delete;
  HeapAllocator& operator=(const HeapAllocator&) = delete;

  void GetAllocationStats(unsigned* reserved, unsigned* inUse) const override;
  std::pair<void*, unsigned> Allocate(unsigned size) override;
  // A null block is ignored.
  void Free(void* block) override;

 private:
  struct BlockHeader;

  BlockHeader* blocks_ = nullptr;  // every block held, most recent first
  std::uint64_t total_ = 0;
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_HEAPALLOCATOR_H_
