#include "qmkutils/memory/blockalloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "qmkutils/memory/smallblockalloc.h"
#include "qmkutils/memory/systemallocator.h"
#include "support/churn.h"
#include "support/run_threads.h"

namespace {

using Supplier = du::SystemAllocator<du::LockedSystemAllocatorPolicy, du::PageRequestsOfMiB<8192>>;
using Blocks = du::BlockAlloc<du::LockedBlockAllocPolicy, 1, 1>;
using SmallBlocks = du::SmallBlockAlloc<du::LockedSmallBlockAllocPolicy, 1, 1>;

struct Details {
  unsigned blocks = 0;
  unsigned slots = 0;
  unsigned used = 0;
  unsigned reserved = 0;
  unsigned inUse = 0;
  bool operator==(const Details&) const = default;
};

Details DetailsOf(const du::FixedSizeMallocCtrl& control) {
  Details d;
  control.GetAllocationDetails(&d.blocks, &d.slots, &d.used);
  control.GetAllocationStats(&d.reserved, &d.inUse);
  return d;
}

TEST(BlockAlloc, GeometryFollowsElementAndBlockSize) {
  Supplier supplier("block geometry");
  // 1000-byte elements: stride 1008, a 32768-byte block, 32 slots.
  Blocks large("1000", &supplier, 1000, 0);
  EXPECT_EQ(large.GetRequestSize(), 32768u - 32);
  void* slot = large.Allocate(nullptr);
  EXPECT_EQ(DetailsOf(large), (Details{1, 32, 1, 32 * 1008, 1008}));
  large.Free(slot);
  Blocks huge("9000", &supplier, 9000, 8192);  // room for 16 slots is taken instead
  EXPECT_EQ(huge.GetRequestSize(), 144384u - 32);

  SmallBlocks small("8", &supplier, 8, 8192);
  small.Allocate(nullptr);
  EXPECT_EQ(DetailsOf(small), (Details{1, (8160 - 48) / 8, 1, 8112, 8}));
  SmallBlocks tiny("1", &supplier, 1, 0);  // 64 slots at least
  EXPECT_EQ(tiny.GetStride(), 8u);
  EXPECT_EQ(tiny.GetRequestSize(), 4096u - 32);
}

template <class Alloc>
void CheckLifecycle(unsigned elementSize) {
  Supplier supplier("lifecycle supplier");
  Alloc alloc("lifecycle", &supplier, elementSize, 0);
  std::vector<void*> slots;
  for (int i = 0; i < 3000; ++i) {
    slots.push_back(alloc.Allocate(nullptr));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(slots.back()) % 8, 0u);
  }
  // Misuse changes nothing: a second free, an address inside a slot, and
  // (where the allocator can tell) a pointer from elsewhere.
  alloc.Free(slots[5]);
  alloc.Free(slots[5]);
  alloc.Free(static_cast<char*>(slots[6]) + 8);
  if constexpr (std::is_same_v<Alloc, SmallBlocks>) {
    int local = 0;
    alloc.Free(&local);
  }
  EXPECT_EQ(DetailsOf(alloc).used, 2999u);
  slots.erase(slots.begin() + 5);

  std::shuffle(slots.begin(), slots.end(), std::mt19937(7));
  const auto half = slots.begin() + 1500;
  for (auto it = slots.begin(); it != half; ++it) alloc.Free(*it);
  if constexpr (std::is_same_v<Alloc, Blocks>) {
    std::vector<void*> listed(slots.size());
    listed.resize(alloc.GetAllocatedBlocks(listed.data(), listed.data() + listed.size()) -
                  listed.data());
    std::vector<void*> expected(half, slots.end());
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
  }
  for (auto it = half; it != slots.end(); ++it) alloc.Free(*it);
  EXPECT_EQ(DetailsOf(alloc).blocks, 1u);  // one empty block is kept
  EXPECT_TRUE(alloc.IsEmpty());
  alloc.PurgeEmptyBlocks();
  EXPECT_EQ(DetailsOf(alloc), Details{});
  unsigned reserved = 1;
  supplier.GetAllocationStats(&reserved, nullptr);
  EXPECT_EQ(reserved, 0u);  // and the supplier gave its chunks back

  alloc.SetFailOnNextRequest();
  EXPECT_EQ(alloc.Allocate(nullptr), nullptr);
  EXPECT_EQ(alloc.Allocate(nullptr), nullptr);
}

TEST(FixedSizeAlloc, StatisticsStayExactThroughMisuse) {
  CheckLifecycle<Blocks>(40);
  CheckLifecycle<SmallBlocks>(16);
}

template <class Alloc>
void RaceAllocFree(unsigned elementSize) {
  Supplier supplier("race supplier");
  Alloc alloc("race", &supplier, elementSize, 0);
  qmk_test::RunThreads(8, [&alloc, elementSize](int t) {
    const auto left = qmk_test::Churn(
        t, 20000, SIZE_MAX, 3, [elementSize](std::mt19937&) { return elementSize; },
        [&alloc](unsigned) { return alloc.Allocate(nullptr); },
        [&alloc](char* slot, unsigned) { alloc.Free(slot); });
    for (auto [slot, size] : left) alloc.Free(slot);
  });
  EXPECT_EQ(DetailsOf(alloc).used, 0u);
  EXPECT_TRUE(alloc.IsEmpty());
}

TEST(FixedSizeAllocRace, ManyThreadsAllocateAndFree) {
  RaceAllocFree<Blocks>(48);
  RaceAllocFree<SmallBlocks>(24);
}

}  // namespace
