#include "qmkutils/memory/smallblockalloc.h"

namespace du {

unsigned SmallBlockAllocBase::StrideFor(unsigned elementSize) {
  return elementSize <= 8 ? 8 : RoundUp(elementSize, 8);
}

unsigned SmallBlockAllocBase::RequestSizeFor(const SystemMallocCtrl& supplier, unsigned elementSize,
                                             unsigned blockSize) {
  const unsigned stride = StrideFor(elementSize);
  const unsigned block = ChooseBlockSize(blockSize, 4096, 1024, 32768);
  const unsigned request = supplier.SpaceAvailableInBlockSize(block);
  if ((request - kBlockHeaderSize) / stride >= 64) return request;
  return supplier.SpaceAvailableInBlockSize(RoundUp(64 * stride + kBlockHeaderSize, 1024));
}

SmallBlockAllocBase::SmallBlockAllocBase(const char* name, SystemMallocCtrl* supplier,
                                         unsigned elementSize, unsigned blockSize,
                                         bool deallocateOnDestruction, bool keepOneEmpty)
    : FixedSizeAllocBase(name, supplier, StrideFor(elementSize),
                         RequestSizeFor(*supplier, elementSize, blockSize), SlotLayout::kPacked,
                         deallocateOnDestruction, keepOneEmpty) {}

}  // namespace du
