#include "qmkutils/memory/blockalloc.h"

namespace du {
namespace {

float WastePercent(unsigned request, unsigned stride) {
  const unsigned area = request - FixedSizeAllocBase::kBlockHeaderSize;
  return static_cast<float>(area % stride) * 100.0f / static_cast<float>(area);
}

}  // namespace

unsigned BlockAllocBase::StrideFor(unsigned elementSize) {
  return RoundUp(elementSize, 8) + static_cast<unsigned>(sizeof(void*));
}

unsigned BlockAllocBase::RequestSizeFor(const SystemMallocCtrl& supplier, unsigned elementSize,
                                        unsigned blockSize) {
  const unsigned stride = StrideFor(elementSize);
  const unsigned block = ChooseBlockSize(blockSize, 32768, 8192, 131072);
  unsigned request = supplier.SpaceAvailableInBlockSize(block);
  unsigned slots = (request - kBlockHeaderSize) / stride;
  if (slots < 16) {
    request = supplier.SpaceAvailableInBlockSize(RoundUp(16 * stride + kBlockHeaderSize, 1024));
    slots = (request - kBlockHeaderSize) / stride;
  }
  if (WastePercent(request, stride) >= 3.0f) {
    const unsigned larger =
        supplier.SpaceAvailableInBlockSize(RoundUp((slots + 1) * stride + kBlockHeaderSize, 1024));
    if (larger != request && WastePercent(larger, stride) < WastePercent(request, stride)) {
      request = larger;
    }
  }
  return request;
}

BlockAllocBase::BlockAllocBase(const char* name, SystemMallocCtrl* supplier, unsigned elementSize,
                               unsigned blockSize, bool deallocateOnDestruction, bool keepOneEmpty)
    : FixedSizeAllocBase(name, supplier, StrideFor(elementSize),
                         RequestSizeFor(*supplier, elementSize, blockSize),
                         SlotLayout::kBackPointer, deallocateOnDestruction, keepOneEmpty) {}

}  // namespace du
