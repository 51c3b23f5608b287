#include "qmkutils/memory/systemallocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "qmkutils/memory/heapallocator.h"

namespace {

using Allocator = du::SystemAllocator<du::LockedSystemAllocatorPolicy, du::PageRequestsOfMiB<8192>>;
using Base = du::SystemAllocatorBase;

struct Stats {
  unsigned reserved = 0;
  unsigned inUse = 0;
  bool operator==(const Stats&) const = default;
};

template <class Control>
Stats StatsOf(const Control& control) {
  Stats stats;
  control.GetAllocationStats(&stats.reserved, &stats.inUse);
  return stats;
}

TEST(SystemAllocator, SizesChunksAndGivesThemBack) {
  EXPECT_EQ(Base::BlockRequirements(0), 32u);
  EXPECT_EQ(Base::BlockRequirements(100), 136u);
  EXPECT_EQ(Base::ChunkRequirements(1048576), 1048632u);
  EXPECT_EQ(Base::SpaceAvailableInBlockSize(8192), 8160u);

  Allocator allocator("system test");
  const auto [a, grantedA] = allocator.Allocate(100);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(grantedA, 104u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 8, 0u);
  // 1 MiB plus the chunk header, in whole pages.
  EXPECT_EQ(StatsOf(allocator), (Stats{1052672, 104}));

  const auto b = allocator.Allocate(100).first;
  allocator.Free(a);
  EXPECT_EQ(StatsOf(allocator), (Stats{1052672, 104}));
  allocator.Free(b);
  EXPECT_EQ(StatsOf(allocator), (Stats{0, 0}));

  // Past 16 MiB a request gets a chunk of exactly one block.
  const auto big = allocator.Allocate(20 * 1048576);
  ASSERT_NE(big.first, nullptr);
  // The remainder is below the split size, so the whole block is granted.
  EXPECT_EQ(big.second, 20975616u - Base::kChunkHeaderSize - Base::kBlockHeaderSize);
  EXPECT_EQ(StatsOf(allocator), (Stats{20975616, big.second}));
  allocator.Free(big.first);
  EXPECT_EQ(StatsOf(allocator).reserved, 0u);
  EXPECT_EQ(allocator.Allocate(Base::kMaxRequest + 1).first, nullptr);
}

TEST(SystemAllocator, RefusesWhatItDidNotHandOutAndHonoursTheFailSwitch) {
  Allocator allocator("system misuse");
  Allocator other("system other");
  void* mine = allocator.Allocate(64).first;
  void* theirs = other.Allocate(64).first;
  const Stats before = StatsOf(allocator);
  int local = 0;
  for (void* foreign :
       {theirs, static_cast<void*>(&local), static_cast<void*>(static_cast<char*>(mine) + 8)}) {
    try {
      allocator.Free(foreign);
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "SytemAllocator::Free() block was not allocated by this sytem allocator.");
    }
  }
  EXPECT_EQ(StatsOf(allocator), before);
  void* keep = allocator.Allocate(64).first;
  allocator.Free(mine);
  EXPECT_THROW(allocator.Free(mine), std::runtime_error);  // twice, chunk still held
  allocator.Free(keep);
  EXPECT_THROW(allocator.Free(keep), std::runtime_error);  // twice, chunk gone
  EXPECT_EQ(StatsOf(allocator), (Stats{0, 0}));
  other.Free(theirs);

  allocator.SetFailOnNextRequest();
  EXPECT_EQ(allocator.Allocate(8).first, nullptr);
  EXPECT_EQ(allocator.Allocate(8).second, 0u);
  allocator.ClearFailOnNextRequest();
  void* again = allocator.Allocate(8).first;
  EXPECT_NE(again, nullptr);
  allocator.Free(again);
}

// A chunk on the stack, so block positions are known.
struct StackChunk {
  alignas(8) char memory[16384];
  Base base;
  explicit StackChunk(unsigned size) { base.AddRawMemory(memory, size); }
};

TEST(SystemAllocatorBase, SplitsBelowMinSplitTakeTheWholeBlock) {
  StackChunk chunk(10000 + Base::kChunkHeaderSize + Base::kBlockHeaderSize);
  const auto [block, granted] = chunk.base.Allocate(4000, 8192);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(granted, 10000u);  // remainder 5968 < 8192
  EXPECT_EQ(chunk.base.Allocate(8, 0).first, nullptr);
}

TEST(SystemAllocatorBase, NeighboursCoalesceInEitherOrder) {
  for (bool lowerFirst : {true, false}) {
    StackChunk chunk(8192);
    void* a = chunk.base.Allocate(100, 64).first;  // carved from the end
    void* b = chunk.base.Allocate(200, 64).first;  // just below a
    void* c = chunk.base.Allocate(300, 64).first;  // keeps the chunk alive
    ASSERT_LT(b, a);
    EXPECT_EQ(chunk.base.Free(lowerFirst ? b : a).first, nullptr);
    EXPECT_EQ(chunk.base.Free(lowerFirst ? a : b).first, nullptr);
    // One free block of 104 + 200 + 32 bytes now sits where b began.
    const auto merged = chunk.base.Allocate(104 + 200, 0xFFFFFFFF);
    EXPECT_EQ(merged.first, b);
    EXPECT_EQ(merged.second, 104u + 200 + Base::kBlockHeaderSize);
    chunk.base.Free(merged.first);
    const auto emptied = chunk.base.Free(c);
    EXPECT_EQ(emptied.first, chunk.memory);
    EXPECT_EQ(emptied.second, 8192u);
  }
}

TEST(HeapAllocator, CountsWhatItHandsOut) {
  du::HeapAllocator heap("heap test", 4096);
  heap.SetFailOnNextRequest();
  EXPECT_EQ(heap.Allocate(10).first, nullptr);
  heap.ClearFailOnNextRequest();
  std::vector<void*> blocks;
  for (unsigned size : {1u, 100u, 5000u}) {
    const auto [block, granted] = heap.Allocate(size);
    EXPECT_EQ(granted, size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
    blocks.push_back(block);
  }
  EXPECT_EQ(StatsOf(heap), (Stats{5101, 5101}));
  heap.Free(blocks[1]);
  EXPECT_EQ(StatsOf(heap), (Stats{5001, 5001}));
  // The rest goes back when the heap is destroyed.
}

}  // namespace
