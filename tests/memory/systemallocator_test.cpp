#include "qmkutils/memory/systemallocator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "qmkutils/memory/heapallocator.h"

namespace {

using Allocator = du::SystemAllocator<du::LockedSystemAllocatorPolicy, du::PageRequestsOfMiB<8192>>;
using Base = du::SystemAllocatorBase;

using Stats = std::pair<unsigned, unsigned>;  // reserved, in use

template <class Control>
Stats StatsOf(const Control& control) {
  Stats stats;
  control.GetAllocationStats(&stats.first, &stats.second);
  return stats;
}

TEST(SystemAllocator, SizesChunksAndGivesThemBack) {
  EXPECT_EQ(Base::BlockRequirements(0), 32u);
  EXPECT_EQ(Base::BlockRequirements(100), 136u);

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

  // Past 16 MiB a request gets a chunk of exactly one block, whole since the
  // remainder is below the split size.
  const auto big = allocator.Allocate(20 * 1048576);
  ASSERT_NE(big.first, nullptr);
  EXPECT_EQ(big.second, 20975616u - Base::kChunkHeaderSize - Base::kBlockHeaderSize);
  EXPECT_EQ(StatsOf(allocator), (Stats{20975616, big.second}));
  allocator.Free(big.first);
  EXPECT_EQ(StatsOf(allocator).first, 0u);
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
    EXPECT_THAT([&] { allocator.Free(foreign); },
                testing::ThrowsMessage<std::runtime_error>(testing::StrEq(
                    "SytemAllocator::Free() block was not allocated by this sytem allocator.")));
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
  EXPECT_EQ(allocator.Allocate(8), (std::pair<void*, unsigned>{nullptr, 0}));
  allocator.ClearFailOnNextRequest();
  allocator.Free(allocator.Allocate(8).first);
}

// A chunk on the stack, so block positions are known.
struct StackChunk {
  alignas(8) char memory[16384];
  Base base;
  explicit StackChunk(unsigned size) { base.AddRawMemory(memory, size); }
};

TEST(SystemAllocatorBase, SplitsAndCoalescing) {
  StackChunk whole(10000 + Base::kChunkHeaderSize + Base::kBlockHeaderSize);
  EXPECT_EQ(whole.base.Allocate(4000, 8192).second, 10000u);  // remainder 5968 < 8192
  EXPECT_EQ(whole.base.Allocate(8, 0).first, nullptr);

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
    EXPECT_EQ(chunk.base.Free(c), (std::pair<void*, unsigned>{chunk.memory, 8192}));
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
}

}  // namespace
