#include "qmkutils/platform/singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "support/run_threads.h"

namespace {

// Announces its destruction on stderr, where the death test reads the order.
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

// Its destructor creates a longer-lived singleton and meets a shorter-lived
// one already gone.
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
  std::atomic<Counted*> seen[16] = {};
  qmk_test::RunThreads(16, [&](int i) { seen[i] = &dp::Singleton<Counted>::Instance(); });
  EXPECT_EQ(Counted::s_constructions.load(), 1);
  for (auto& pointer : seen) EXPECT_EQ(pointer.load(), dp::Singleton<Counted>::Peek());
}

}  // namespace
