#include "qmkutils/memory/refcounted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "qmkutils/memory/smartptr.h"
#include "support/run_threads.h"

namespace {

std::atomic<int> s_destroyed{0};

struct Counted : virtual du::RefCounted {
  ~Counted() override { s_destroyed.fetch_add(1); }
};

// Survives its first release by taking a reference back into `rescued`.
struct Phoenix : virtual du::RefCounted {
  mutable du::SmartPtr<const Phoenix>* rescued = nullptr;
  void ZeroReferenceCountHook() const override {
    if (rescued != nullptr) *std::exchange(rescued, nullptr) = this;
  }
  ~Phoenix() override { s_destroyed.fetch_add(1); }
};

TEST(RefCounted, CountsCopiesAndTheHookKeepsTheObjectAlive) {
  Counted fresh;
  EXPECT_EQ(fresh.RemoveReference(), -1);
  fresh.AddReference();
  fresh.AddReference();
  EXPECT_EQ(Counted(fresh).GetReferenceCount(), 0);
  EXPECT_EQ(fresh.GetReferenceCount(), 1);

  s_destroyed = 0;
  du::SmartPtr<const Phoenix> rescued;
  du::SmartPtr<Phoenix>(new Phoenix)->rescued = &rescued;
  EXPECT_EQ(s_destroyed.load(), 0);
  ASSERT_TRUE(rescued);
  EXPECT_EQ(rescued->GetReferenceCount(), 1);
  rescued.Reset();
  EXPECT_EQ(s_destroyed.load(), 1);
}

TEST(SmartPtrRace, CopiesOnManyThreadsDeleteOnce) {
  for (int round = 0; round < 20; ++round) {
    s_destroyed = 0;
    // Each thread drops its own copy when done, so the last one deletes.
    std::vector<du::SmartPtr<Counted>> copies(8, du::SmartPtr<Counted>(new Counted));
    qmk_test::RunThreads(8, [&copies](int t) {
      const du::SmartPtr<Counted> copy = std::move(copies[t]);
      for (int i = 0; i < 2000; ++i) {
        du::SmartPtr<const du::RefCounted> other(copy);
        du::SmartPtr<Counted> held(copy);
        du::SmartPtr<Counted> moved(std::move(held));
        EXPECT_GE(moved->GetReferenceCount(), 3);
      }
    });
    EXPECT_EQ(s_destroyed.load(), 1);
  }
}

}  // namespace
