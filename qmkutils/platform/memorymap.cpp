#include "qmkutils/platform/memorymap.h"

#include <sys/mman.h>
#include <unistd.h>

namespace dp {

unsigned MemoryMap::GetPageSize() {
  static const unsigned s_pageSize = static_cast<unsigned>(sysconf(_SC_PAGESIZE));
  return s_pageSize;
}

void* MemoryMap::MapNewMemory(void* hint, unsigned size) {
  if (size == 0) return nullptr;
  void* region = mmap(hint, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return region == MAP_FAILED ? nullptr : region;
}

bool MemoryMap::ReleaseMappedMemory(void* address, unsigned size) {
  return address != nullptr && munmap(address, size) == 0;
}

bool MemoryMap::LockToRam(void* address, unsigned size) { return mlock(address, size) == 0; }

}  // namespace dp
