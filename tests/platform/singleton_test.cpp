#include "qmkutils/platform/singleton.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "qmkutils/platform/exitcalls.h"

namespace {

// Exit calls record their runs here.
std::vector<int> s_runs;
template <int kId>
void Record() {
  s_runs.push_back(kId);
}

std::vector<int> PopAll(dp::TrackerStackImpl* stack) {
  s_runs.clear();
  while (stack->count > 0) dp::PopBack(stack);
  EXPECT_EQ(stack->array, nullptr);
  return s_runs;
}

TEST(ExitCalls, PopInAscendingLongevityNewestFirstAmongEquals) {
  dp::TrackerStackImpl stack;
  dp::ScheduleAtExitCall(&stack, 5, &Record<5>);
  dp::ScheduleAtExitCall(&stack, 1, &Record<1>);
  dp::ScheduleAtExitCall(&stack, 3, &Record<3>);
  dp::ScheduleAtExitCall(&stack, 3, &Record<10>);
  dp::ScheduleAtExitCall(&stack, 3, &Record<11>);
  dp::CancelAtExitCall(&stack, &Record<10>);  // the entry stays and pops as a no-op
  EXPECT_EQ(stack.count, 5u);
  EXPECT_THAT(PopAll(&stack), testing::ElementsAre(1, 11, 3, 5));
}

// Singletons that announce their destruction on stderr, where the parent
// test reads the order.
template <unsigned kLongevity, char kName>
struct Announcer {
  ~Announcer() { std::fprintf(stderr, "[destroy %c]", kName); }
};
template <unsigned kLongevity, char kName>
unsigned GetLongevity(Announcer<kLongevity, kName>*) {
  return kLongevity;
}
using Low = Announcer<0xFFFFFFFD, 'L'>;
using Middle = Announcer<0xFFFFFFFE, 'M'>;
using High = Announcer<0xFFFFFFFF, 'H'>;
using Early = Announcer<50, 'E'>;
using Survivor = Announcer<200, 'S'>;

// Its destructor uses a singleton of higher longevity, created right then,
// and one of lower longevity, already gone.
struct User {
  ~User() {
    dp::Singleton<Survivor>::Instance();
    std::fprintf(stderr, "[early alive %d]", dp::Singleton<Early>::InstanceIfAlive() != nullptr);
    try {
      dp::Singleton<Early>::Instance();
    } catch (const dp::DeadReference& e) {
      std::fprintf(stderr, "[%s]", e.what());
    }
  }
};
unsigned GetLongevity(User*) { return 100; }

TEST(Singleton, DestroyedInLongevityOrderWhateverTheCreationOrderAndNeverRevived) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dp::Singleton<High>::Instance();
        dp::Singleton<User>::Instance();
        dp::Singleton<Low>::Instance();
        dp::Singleton<Early>::Instance();
        dp::Singleton<Middle>::Instance();
        std::exit(0);
      },
      testing::ExitedWithCode(0),
      "^\\[destroy E\\]\\[early alive 0\\]\\[Dead Reference Detected\\]\\[destroy S\\]"
      "\\[destroy L\\]\\[destroy M\\]\\[destroy H\\]$");
}

struct Counted {
  Counted() { ++s_constructions; }
  static inline std::atomic<int> s_constructions{0};
};
unsigned GetLongevity(Counted*) { return 1; }

TEST(SingletonRace, ConcurrentFirstUseCreatesOneInstance) {
  std::atomic<bool> go{false};
  std::atomic<Counted*> seen[16] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      seen[i] = &dp::Singleton<Counted>::Instance();
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Counted::s_constructions.load(), 1);
  for (auto& pointer : seen) EXPECT_EQ(pointer.load(), dp::Singleton<Counted>::Peek());
}

}  // namespace
