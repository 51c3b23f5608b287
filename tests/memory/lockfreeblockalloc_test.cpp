#include "qmkutils/memory/lockfreeblockalloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "qmkutils/platform/qminfo.h"
#include "support/run_threads.h"

namespace {

TEST(LockFreeBlockAlloc, SizesSuperblocksBySlotCount) {
  struct Case {
    unsigned element, requested, slot, superblock;
  };
  const Case cases[] = {{64, 0, 80, 32768},      // the default
                        {16, 0, 32, 32768},      // exactly 1024 slots
                        {8, 0, 24, 0},           // 1365 slots: unusable
                        {64, 200000, 80, 0},     // clamped to 131072, 1638 slots: unusable
                        {61, 1000, 80, 8192},    // rounded to 8 and clamped up
                        {64, 40000, 80, 40960},  // rounded up to 1024
                        {4000, 0, 4016, 64512},  // 16 slots at least, rounded up to 1024
                        {100000, 0, 100016, 1600512}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.element << " / " << c.requested);
    du::LockFreeBlockAlloc alloc(c.element, c.requested, false);
    EXPECT_EQ(alloc.GetSlotSize(), c.slot);
    EXPECT_EQ(alloc.GetSuperblockSize(), c.superblock);
    void* element = alloc.New();
    EXPECT_EQ(element == nullptr, c.superblock == 0);
    if (element != nullptr) std::memset(element, 0xAB, c.element);
    alloc.Delete(element);
  }
  EXPECT_EQ(du::LockFreeBlockAlloc(64, 0, true).GetHeapCount(),
            4u * static_cast<unsigned>(dp::QmInfo::GetNumberOfProcessors()));
}

// Every heap fills two superblocks and starts a third; then, over rounds of
// the same demand freed in changing orders, the allocator does not grow.
TEST(LockFreeBlockAlloc, HandsOutDistinctAlignedSlotsAndReusesSuperblocks) {
  for (unsigned elementSize : {24u, 32u, 4000u}) {
    du::LockFreeBlockAlloc alloc(elementSize, 8192, true);
    const unsigned count =
        alloc.GetHeapCount() * (2 * alloc.GetSuperblockSize() / alloc.GetSlotSize() + 1);
    std::vector<char*> slots(count);
    unsigned firstRound = 0;
    for (int round = 0; round < 4; ++round) {
      for (unsigned i = 0; i < count; ++i) {
        slots[i] = static_cast<char*>(alloc.New());
        ASSERT_NE(slots[i], nullptr);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(slots[i]) % (elementSize % 16 == 0 ? 16 : 8),
                  0u);
        std::memset(slots[i], static_cast<int>(i), elementSize);
      }
      for (unsigned i = 0; i < count; ++i) {
        ASSERT_EQ(slots[i][0], static_cast<char>(i));
        ASSERT_EQ(slots[i][elementSize - 1], static_cast<char>(i));
      }
      if (round == 0) {
        firstRound = alloc.GetSuperblockCount();
        std::vector<char*> sorted = slots;
        std::sort(sorted.begin(), sorted.end());
        for (unsigned i = 1; i < count; ++i)
          ASSERT_GE(sorted[i] - sorted[i - 1], std::ptrdiff_t{elementSize});
      }
      for (unsigned i = 0; i < count; i += 2) alloc.Delete(slots[i]);
      for (unsigned i = 0; i < count; i += 2) slots[i] = static_cast<char*>(alloc.New());
      EXPECT_EQ(alloc.GetSuperblockCount(), firstRound) << "round " << round;
      std::shuffle(slots.begin(), slots.end(), std::mt19937(round));
      for (char* slot : slots) alloc.Delete(slot);
    }
    alloc.Delete(nullptr);
  }
}

// Many threads allocate batches, stamp each slot, check the stamp before
// freeing, and swap some slots through shared posts so that they are freed by
// another thread. Superblocks of 16 slots keep every state change busy. The
// first word of a slot is a relaxed claim (it orders nothing, so that the
// allocator alone must order the plain stamp words of successive owners): a
// slot handed out twice while live finds a claim already there, or loses its
// owner's.
TEST(LockFreeBlockAllocRace, NoSlotIsHandedOutTwice) {
  constexpr int kThreads = 16;
  constexpr int kRounds = 8000;
  constexpr unsigned kBatch = 24;
  constexpr unsigned kWords = 6;
  constexpr std::uint64_t kStampBits = 44;
  constexpr std::uint64_t kLive = std::uint64_t{0xA11CE} << kStampBits;
  constexpr std::uint64_t kStampMask = (std::uint64_t{1} << kStampBits) - 1;
  du::LockFreeBlockAlloc alloc(496, 8192, true);
  ASSERT_EQ(alloc.GetSuperblockSize() / alloc.GetSlotSize(), 16u);

  auto claimWord = [](std::uint64_t* slot) { return std::atomic_ref<std::uint64_t>(*slot); };
  auto claim = [&](std::uint64_t* slot, std::uint64_t stamp) {
    if ((claimWord(slot).exchange(kLive | stamp, std::memory_order_relaxed) & ~kStampMask) ==
        kLive) {
      return false;
    }
    for (unsigned w = 1; w < kWords; ++w) slot[w] = stamp + w;
    return true;
  };
  auto unclaim = [&](std::uint64_t* slot) {
    std::uint64_t mark = claimWord(slot).load(std::memory_order_relaxed);
    if ((mark & ~kStampMask) != kLive) return false;
    for (unsigned w = 1; w < kWords; ++w) {
      if (slot[w] != (mark & kStampMask) + w) return false;
    }
    return claimWord(slot).compare_exchange_strong(mark, 0, std::memory_order_relaxed);
  };

  std::vector<std::atomic<std::uint64_t*>> posts(kThreads);
  std::atomic<int> failures{0};
  qmk_test::RunThreads(kThreads, [&](int t) {
    std::mt19937 random(t);
    std::uint64_t serial = std::uint64_t(t + 1) << 32;
    std::vector<std::uint64_t*> batch;
    for (int round = 0; round < kRounds; ++round) {
      for (unsigned n = 1 + random() % kBatch; n > 0; --n) {
        auto* slot = static_cast<std::uint64_t*>(alloc.New());
        if (slot == nullptr || !claim(slot, serial += 256)) {
          ++failures;
          continue;
        }
        batch.push_back(slot);
      }
      for (std::uint64_t* slot : batch) {
        if (random() % 4 == 0) {
          slot = posts[random() % kThreads].exchange(slot, std::memory_order_acq_rel);
          if (slot == nullptr) continue;
        }
        if (!unclaim(slot)) ++failures;
        alloc.Delete(slot);
      }
      batch.clear();
    }
  });
  for (auto& post : posts) {
    if (std::uint64_t* slot = post.load()) {
      EXPECT_TRUE(unclaim(slot));
      alloc.Delete(slot);
    }
  }
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
