// Page-granular virtual memory straight from the operating system.
//
// dp::MemoryMap is what the library's bottom allocators stand on: regions are
// mapped read-write and zero-filled, and each is given back whole. Every call
// is thread-safe and async-signal-safe (they are single system calls), and a
// mapping survives fork() in the child as a private copy.
//
// On Linux a region is an anonymous private mmap; the hint is only a hint
// (never MAP_FIXED), so an existing mapping is never replaced. Sizes are
// rounded up to whole pages by the kernel.
#ifndef QMKUTILS_PLATFORM_MEMORYMAP_H_
#define QMKUTILS_PLATFORM_MEMORYMAP_H_

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT MemoryMap {
 public:
  MemoryMap() = delete;

  static unsigned GetPageSize();
  // `size` fresh read-write bytes, at `hint` when that address is free; null
  // on failure (also for a size of 0).
  static void* MapNewMemory(void* hint, unsigned size);
  // Gives back a whole region obtained from MapNewMemory.
  static bool ReleaseMappedMemory(void* address, unsigned size);
  // Keeps the region's pages in RAM; false when the system refuses (limits).
  static bool LockToRam(void* address, unsigned size);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_MEMORYMAP_H_
