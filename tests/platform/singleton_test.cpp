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

// Exit calls record their runs here; each test starts from an empty record.
std::vector<int> s_runs;
void Run1() { s_runs.push_back(1); }
void Run3() { s_runs.push_back(3); }
void Run5() { s_runs.push_back(5); }
void RunA() { s_runs.push_back(10); }
void RunB() { s_runs.push_back(11); }

std::vector<int> PopAll(dp::TrackerStackImpl* stack) {
  s_runs.clear();
  while (stack->count > 0) dp::PopBack(stack);
  EXPECT_EQ(stack->array, nullptr);
  return s_runs;
}

TEST(ExitCalls, PopInAscendingLongevityNewestFirstAmongEquals) {
  dp::TrackerStackImpl stack;
  dp::ScheduleAtExitCall(&stack, 5, &Run5);
  dp::ScheduleAtExitCall(&stack, 1, &Run1);
  dp::ScheduleAtExitCall(&stack, 3, &Run3);
  dp::ScheduleAtExitCall(&stack, 3, &RunA);
  dp::ScheduleAtExitCall(&stack, 3, &RunB);
  EXPECT_THAT(PopAll(&stack), testing::ElementsAre(1, 11, 10, 3, 5));

  dp::ScheduleAtExitCall(&stack, 2, &RunA);
  dp::ScheduleAtExitCall(&stack, 1, &Run1);
  dp::ScheduleAtExitCall(&stack, 7, &RunA);
  dp::CancelAtExitCall(&stack, &RunA);  // every entry of that call
  EXPECT_EQ(stack.count, 3u);
  EXPECT_THAT(PopAll(&stack), testing::ElementsAre(1));
}

// Three singletons that announce their destruction on stderr, where the
// parent test reads the order.
template <unsigned kLongevity, char kName>
struct Announcer {
  ~Announcer() { std::fprintf(stderr, "[destroy %c]", kName); }
};
using Low = Announcer<0xFFFFFFFD, 'L'>;
using Middle = Announcer<0xFFFFFFFE, 'M'>;
using High = Announcer<0xFFFFFFFF, 'H'>;
template <unsigned kLongevity, char kName>
unsigned GetLongevity(Announcer<kLongevity, kName>*) {
  return kLongevity;
}

TEST(Singleton, DestroyedInLongevityOrderWhateverTheCreationOrder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dp::Singleton<High>::Instance();
        dp::Singleton<Low>::Instance();
        dp::Singleton<Middle>::Instance();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "\\[destroy L\\]\\[destroy M\\]\\[destroy H\\]");
}

// A singleton whose destructor uses others: one of higher longevity (still
// alive) and one of lower longevity (already gone).
struct Survivor {
  int value = 42;
};
unsigned GetLongevity(Survivor*) { return 200; }
struct Early {};
unsigned GetLongevity(Early*) { return 50; }
struct User {
  ~User() {
    std::fprintf(stderr, "[survivor %d]", dp::Singleton<Survivor>::Instance().value);
    std::fprintf(stderr, "[early alive %d]", dp::Singleton<Early>::InstanceIfAlive() != nullptr);
    try {
      dp::Singleton<Early>::Instance();
    } catch (const dp::DeadReference& e) {
      std::fprintf(stderr, "[%s]", e.what());
    }
  }
};
unsigned GetLongevity(User*) { return 100; }

TEST(Singleton, DestroyerMayUseLongerLivedSingletonsButNotDeadOnes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dp::Singleton<User>::Instance();
        dp::Singleton<Early>::Instance();
        std::exit(0);
      },
      testing::ExitedWithCode(0),
      "\\[survivor 42\\]\\[early alive 0\\]\\[Dead Reference Detected\\]");
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
