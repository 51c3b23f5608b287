#include "qmkutils/memory/mempool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/memory/mallocctrlregistry.h"
#include "qmkutils/memory/systemallocator.h"
#include "support/child_process.h"
#include "support/churn.h"
#include "support/run_threads.h"
#include "support/sanitizers.h"

namespace {

using Supplier = du::SystemAllocator<du::LockedSystemAllocatorPolicy, du::PageRequestsOfMiB<8192>>;

unsigned InUse(const du::MallocCtrl& control) {
  unsigned inUse = 0;
  control.GetAllocationStats(nullptr, &inUse);
  return inUse;
}

unsigned Reserved(const du::MallocCtrl& control) {
  unsigned reserved = 0;
  control.GetAllocationStats(&reserved, nullptr);
  return reserved;
}

TEST(MemPool, SizeClasses) {
  const std::pair<unsigned, unsigned> rounded[] = {
      {0, 8},       {1, 8},         {8, 8},         {9, 16},         {256, 256},
      {257, 272},   {512, 512},     {513, 544},     {1025, 1088},    {4097, 4352},
      {8193, 8704}, {16384, 16384}, {16385, 16385}, {100000, 100000}};
  for (const auto& [size, expected] : rounded) {
    EXPECT_EQ(du::MemPool::GetRoundedSize(size), expected) << size;
  }
  EXPECT_EQ(du::MemPool::GetSizeClass(100), 12);
  EXPECT_EQ(du::MemPool::GetSizeClass(16385), -1);
  for (unsigned index = 0; index < du::MemPool::kClassCount; ++index) {
    EXPECT_EQ(du::MemPool::GetSizeClass(du::MemPool::GetClassSize(index)), static_cast<int>(index));
  }
}

TEST(MemPool, ASupplierThatRefusesLeavesTheFiguresExact) {
  Supplier supplier("refusing supplier");
  supplier.SetFailOnNextRequest();
  EXPECT_THROW(du::MemPool("no record", &supplier), std::bad_alloc);
  supplier.ClearFailOnNextRequest();
  du::MemPool pool("refused pool", &supplier);
  void* kept = pool.Allocate(100, nullptr);
  supplier.SetFailOnNextRequest();
  EXPECT_EQ(pool.Allocate(20000, nullptr), nullptr);
  EXPECT_EQ(pool.Allocate(8, nullptr), nullptr);  // a class with no block yet
  EXPECT_EQ(InUse(pool), 100u);
  supplier.ClearFailOnNextRequest();
  pool.Free(kept, 100);
  EXPECT_EQ(InUse(pool), 0u);
}

struct Derived : du::CommonAllocated {
  char payload[40] = {};  // 48 bytes with the vtable pointer: a class size
};

struct Throwing : Derived {
  Throwing() { throw std::runtime_error("constructor"); }
};

TEST(CommonAllocator, ClassesLargeBlocksObjectsAndTheFailSwitch) {
  du::MemPool& pool = du::CommonAllocatorImpl::GetPool();
  const unsigned before = InUse(pool);
  du::CommonAllocatorImpl::Deallocate(du::CommonAllocatorImpl::Allocate(100, nullptr), 100);
  du::FixedSizeAllocBase* classAlloc = pool.GetClassAllocator(12);
  ASSERT_NE(classAlloc, nullptr);
  EXPECT_STREQ(classAlloc->GetName(), "Common Mem Pool (   97 to   104)");
  du::CommonAllocatorImpl::PurgeEmptyBlocks();
  EXPECT_EQ(Reserved(*classAlloc), 0u);

  du::MallocCtrlRegistry& registry = du::MallocCtrlRegistry::Instance();
  const int extraIndex = registry.GetSupplier(registry.GetIndex(&pool), 1);
  ASSERT_GE(extraIndex, 0);
  du::MallocCtrl* extra = registry.GetMallocCtrl(extraIndex);
  EXPECT_STREQ(extra->GetName(), "Common Extra Allocator");
  const unsigned extraBefore = InUse(*extra);
  void* large = du::CommonAllocatorImpl::Allocate(20000, nullptr);
  EXPECT_EQ(InUse(pool), before + 20000);
  EXPECT_EQ(InUse(*extra), extraBefore + 20000);
  du::CommonAllocatorImpl::Deallocate(large, 20000);

  pool.SetFailOnNextRequest();
  EXPECT_THAT([] { du::CommonAllocatorImpl::Allocate(16, nullptr); },
              testing::ThrowsMessage<std::bad_alloc>(testing::StrEq("bad allocation")));
  EXPECT_EQ(new (std::nothrow) Derived, nullptr);
  pool.ClearFailOnNextRequest();
  EXPECT_THROW(du::CommonAllocatorImpl::AllocateBytes(std::size_t{5} << 30), std::bad_alloc);

  du::CommonAllocated* object = new Derived;
  EXPECT_EQ(InUse(pool), before + sizeof(Derived));
  delete object;  // the virtual destructor passes the derived size
  EXPECT_THROW(new Throwing, std::runtime_error);
  EXPECT_THROW(new (std::nothrow) Throwing, std::runtime_error);
  {
    std::map<int, std::string, std::less<>, du::CommonAllocator<std::pair<const int, std::string>>>
        map;
    std::vector<int, du::CommonAllocator<int>> vector;
    for (int i = 0; i < 1000; ++i) {
      map.emplace(i, std::to_string(i));
      vector.push_back(i);
    }
    EXPECT_GT(InUse(pool), before);
  }
  EXPECT_EQ(InUse(pool), before);
}

long ResidentBytes() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

TEST(MemPoolRace, ManyThreadsThenEverythingGoesBack) {
  Supplier blocks("drain blocks");
  Supplier extra("drain extra");
  const long residentBefore = ResidentBytes();
  {
    du::MemPool pool("drain pool", &blocks, &extra, false);
    qmk_test::RunThreads(8, [&pool](int t) {
      const auto left = qmk_test::Churn(
          t, 20000, 2000, 2,
          [](std::mt19937& random) -> unsigned {
            return random() % 64 == 0 ? 20000 + random() % 40000 : random() % 4000;
          },
          [&pool](unsigned size) { return pool.Allocate(size, nullptr); },
          [&pool](char* block, unsigned size) { pool.Free(block, size); });
      for (auto [block, size] : left) pool.Free(block, size);
    });
    EXPECT_EQ(InUse(pool), 0u);
    EXPECT_GT(Reserved(blocks), 0u);  // each class keeps one empty block
    pool.PurgeEmptyBlocks();
    EXPECT_EQ(Reserved(blocks), 0u);
  }
  EXPECT_EQ(Reserved(extra), 0u);  // it held the pool's own record
  // The chunks went back to the system, not just to a free list.
  EXPECT_LT(ResidentBytes() - residentBefore, 16L << 20);
}

TEST(MemPoolRace, OneClassAllocatorWhenThreadsRaceToCreateIt) {
  Supplier supplier("first use supplier");
  du::MallocCtrlRegistry& registry = du::MallocCtrlRegistry::Instance();
  for (int round = 0; round < 50; ++round) {
    du::MemPool pool("first use", &supplier);
    std::vector<void*> blocks(4);
    qmk_test::RunThreads(4, [&](int t) { blocks[t] = pool.Allocate(72, nullptr); });
    // The pool's suppliers: the system allocator and one class allocator.
    EXPECT_EQ(registry.GetSupplierCount(registry.GetIndex(&pool)), 2);
    for (void* block : blocks) pool.Free(block, 72);
  }
}

TEST(CommonAllocatorRace, ThreadCachesKeepTheFiguresExact) {
  du::MemPool& pool = du::CommonAllocatorImpl::GetPool();
  const unsigned before = InUse(pool);
  qmk_test::LiveBlocks handedOver[8];
  std::atomic<bool> stop{false};
  // One thread keeps purging, which empties every cache while they are used.
  std::thread purger([&stop] {
    while (!stop.load()) du::CommonAllocatorImpl::PurgeEmptyBlocks();
  });
  qmk_test::RunThreads(8, [&handedOver](int t) {
    handedOver[t] = qmk_test::Churn(  // freed by another thread below
        t, 30000, 500, 2,
        [](std::mt19937& random) -> unsigned {
          return random() % 32 == 0 ? 20000 : 1 + random() % 600;
        },
        [](unsigned size) { return du::CommonAllocatorImpl::Allocate(size, nullptr); },
        [](char* block, unsigned size) { du::CommonAllocatorImpl::Deallocate(block, size); });
  });
  stop = true;
  purger.join();
  std::thread([&handedOver] {
    for (auto& blocks : handedOver) {
      for (auto [block, size] : blocks) du::CommonAllocatorImpl::Deallocate(block, size);
    }
  }).join();
  EXPECT_EQ(InUse(pool), before);
  du::CommonAllocatorImpl::PurgeEmptyBlocks();
  for (unsigned index = 0; index < du::MemPool::kClassCount; ++index) {
    if (du::FixedSizeAllocBase* alloc = pool.GetClassAllocator(index)) {
      unsigned used = 1;
      alloc->GetAllocationDetails(nullptr, nullptr, &used);
      EXPECT_EQ(used, 0u) << alloc->GetName();
    }
  }
}

TEST(CommonAllocatorRace, ForkWhileThreadsAllocate) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&stop] {
      while (!stop.load()) {
        void* block = du::CommonAllocatorImpl::Allocate(48, nullptr);
        du::CommonAllocatorImpl::Deallocate(block, 48);
      }
    });
  }
  for (int round = 0; round < 30; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      // The child can allocate, free and purge: no lock or cache is stuck.
      void* block = du::CommonAllocatorImpl::Allocate(48, nullptr);
      du::CommonAllocatorImpl::Deallocate(block, 48);
      du::CommonAllocatorImpl::PurgeEmptyBlocks();
      _exit(0);
    }
    EXPECT_EQ(qmk_test::Reap(child), 0);
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
}

#if defined(QMK_TEST_ADDRESS_SANITIZER)
TEST(CommonAllocatorDeathTest, UseAfterFreeIsCaught) {
  auto* block = static_cast<volatile char*>(du::CommonAllocatorImpl::Allocate(64, nullptr));
  du::CommonAllocatorImpl::Deallocate(const_cast<char*>(block), 64);
  EXPECT_DEATH(block[10] = 1, "use-after-poison");
}
#endif

}  // namespace
