#include "qmkutils/memory/smallblockalloc.h"

namespace du {
namespace {

constexpr unsigned RoundUp(unsigned n, unsigned multiple) {
  return (n + multiple - 1) / multiple * multiple;
}

}  // namespace

unsigned SmallBlockAllocBase::StrideFor(unsigned elementSize) {
  return elementSize <= 8 ? 8 : RoundUp(elementSize, 8);
}

unsigned SmallBlockAllocBase::RequestSizeFor(const SystemMallocCtrl& supplier, unsigned elementSize,
                                             unsigned blockSize) {
  const unsigned stride = StrideFor(elementSize);
  unsigned block;
  if (blockSize == 0) {
    block = 4096;
  } else if (blockSize <= 1024) {
    block = 1024;
  } else if (blockSize >= 32768) {
    block = 32768;
  } else {
    block = RoundUp(blockSize, 1024);
  }
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
