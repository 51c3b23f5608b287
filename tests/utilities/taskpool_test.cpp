#include "qmkutils/utilities/taskpool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "support/eventually.h"
#include "support/recording_consumer.h"

namespace {

using qmk_test::Eventually;

struct Probe : du::Task {
  explicit Probe(float priority = 1.0F, std::function<void()> body = {})
      : priority(priority), body(std::move(body)) {}
  du::Symbol GetName() const override { return "probe"; }
  float GetPriority() const override { return priority; }
  void Run() override {
    if (body) body();
    ++runs;
  }
  void Abort() override { ++aborts; }

  float priority;
  std::function<void()> body;
  std::atomic<int> runs{0}, aborts{0};
};

using ProbePtr = du::SmartPtr<Probe>;

// Occupies `workers` workers of `pool` until `gate` opens.
void BlockWorkers(du::TaskPool& pool, int workers, std::latch& gate) {
  std::atomic<int> started{0};
  for (int i = 0; i < workers; ++i)
    pool.InsertTask(new Probe(1e9F, [&] {
      ++started;
      gate.wait();
    }));
  ASSERT_TRUE(Eventually([&] { return started == workers; }));
}

TEST(TaskPoolTest, DefaultsInlineRunsAndEscapingExceptions) {
  struct Flushing : du::Task {
    void FlushResults() override { ++flushes; }
    int flushes = 0;
  };
  du::SmartPtr<Flushing> task(new Flushing);
  EXPECT_EQ(task->GetName(), "<unknown task>");
  EXPECT_THAT([&] { task->Run(); },
              testing::ThrowsMessage<std::logic_error>("Task::Run() not implemented"));
  task->TaskComplete();
  EXPECT_EQ(task->flushes, 1);

  qmk_test::ScopedTraceRecorder recorder;
  du::TaskPool inlinePool(0), pool(1);
  ProbePtr inlined(new Probe(1.0F, [] { throw std::runtime_error("boom"); }));
  EXPECT_TRUE(inlinePool.InsertTask(inlined) && inlined->runs == 0);
  EXPECT_FALSE(inlinePool.InsertTask(nullptr));
  pool.InsertTask(new Probe(1.0F, [] { throw 42; }));
  ProbePtr after(new Probe);
  pool.InsertTask(after);
  ASSERT_TRUE(Eventually([&] { return after->runs == 1; }));
  EXPECT_THAT(
      recorder.log().Texts(),
      testing::IsSupersetOf({testing::HasSubstr("\"probe\" threw an exception in Run: boom"),
                             testing::HasSubstr("\"probe\" threw an unknown exception in Run")}));
}

TEST(TaskPoolTest, QueuedTasksRunByPriorityAlsoAfterTheTargetIsLowered) {
  du::TaskPool pool(1);
  std::latch gate(1);
  BlockWorkers(pool, 1, gate);
  std::vector<float> order;  // written by the one worker
  std::vector<ProbePtr> queued;
  std::mt19937 random(7);
  for (int i = 0; i <= 300; ++i) {
    const float priority = i == 300 ? 100.0F : static_cast<float>(random() % 50);
    queued.emplace_back(new Probe(priority, [&order, priority] { order.push_back(priority); }));
    ASSERT_TRUE(pool.InsertTask(queued.back()));
  }
  EXPECT_EQ(pool.SetTargetThreads(0), 1U);
  gate.count_down();
  ASSERT_TRUE(Eventually([&] {
    return std::all_of(queued.begin(), queued.end(), [](auto& probe) { return probe->runs == 1; });
  }));
  // The 100, queued last, ran first.
  EXPECT_TRUE(std::is_sorted(order.rbegin(), order.rend()));

  ProbePtr inlined(new Probe);
  EXPECT_TRUE(pool.InsertTask(inlined) && inlined->runs == 1);
}

TEST(TaskPoolTest, CompleteDrainsAndStopAbortsQueuedTasks) {
  du::TaskPool pool(2);
  // Workers may still be leaving a gate's wait after the next round began.
  std::latch gates[] = {std::latch(1), std::latch(1)};
  for (const bool stop : {false, true}) {
    std::latch& gate = gates[stop];
    BlockWorkers(pool, 2, gate);
    std::vector<ProbePtr> queued(5, nullptr);
    for (auto& probe : queued) ASSERT_TRUE(pool.InsertTask(probe = new Probe));
    std::thread waiter([&] { stop ? pool.StopTaskPool() : pool.CompletePendingTasks(); });
    // Completing refuses tasks; stopping sets the target to 0, so they run
    // inline. Either shows that the call has begun.
    ASSERT_TRUE(Eventually([&] {
      queued.emplace_back(new Probe);
      return !pool.InsertTask(queued.back()) || queued.back()->runs == 1;
    }));
    queued.pop_back();
    gate.count_down();
    waiter.join();
    EXPECT_EQ(pool.GetNumTasks(), 0U);
    for (const auto& probe : queued)
      EXPECT_TRUE(stop ? probe->aborts == 1 && probe->runs == 0
                       : Eventually([&] { return probe->runs == 1; }));
  }
  ProbePtr late(new Probe);
  EXPECT_FALSE(pool.InsertTask(late));
  pool.StartTaskPool();
  EXPECT_TRUE(pool.InsertTask(late));
  EXPECT_TRUE(Eventually([&] { return late->runs == 1; }));
}

// Counts, when it goes, a task run or aborted other than exactly once if
// its pool accepted it, or at all if not.
struct CheckedTask : du::Task {
  static inline std::atomic<int> s_live{0}, s_wrong{0}, s_aborted{0};
  CheckedTask() { ++s_live; }
  ~CheckedTask() override {
    s_wrong += runs + aborts != (accepted ? 1 : 0);
    --s_live;
  }
  void Run() override { ++runs; }
  void Abort() override {
    ++aborts;
    ++s_aborted;
  }

  bool accepted = false;
  std::atomic<int> runs{0}, aborts{0};
};

TEST(TaskPoolRace, EveryTaskRunsOrIsAbortedExactlyOnce) {
  CheckedTask::s_wrong = CheckedTask::s_aborted = 0;
  {
    du::TaskPool pool(2);
    std::atomic<bool> done{false};
    std::vector<std::thread> inserters;
    for (int t = 0; t < 4; ++t) {
      inserters.emplace_back([&] {
        while (!done) {
          du::SmartPtr<CheckedTask> task(new CheckedTask);
          task->accepted = pool.InsertTask(task);
        }
      });
    }
    std::mt19937 random(11);
    const std::function<void()> operations[] = {
        [&] { pool.SetTargetThreads(random() % 4); }, [&] { pool.StopTaskPool(); },
        [&] { pool.StartTaskPool(); }, [&] { pool.CompletePendingTasks(); }};
    // At least until some stop has found tasks to abort.
    for (int i = 0; i < 200 || (CheckedTask::s_aborted == 0 && i < 100000); ++i)
      operations[random() % 4]();
    done = true;
    for (auto& thread : inserters) thread.join();
  }
  EXPECT_EQ(CheckedTask::s_live, 0);
  EXPECT_EQ(CheckedTask::s_wrong, 0);
  EXPECT_GT(CheckedTask::s_aborted, 0);
}

}  // namespace
