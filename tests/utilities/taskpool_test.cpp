#include "qmkutils/utilities/taskpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/eventually.h"
#include "support/recording_consumer.h"

namespace {

using qmk_test::Eventually;

class Probe : public du::Task {
 public:
  explicit Probe(float priority = 1.0F, std::function<void()> body = {})
      : priority_(priority), body_(std::move(body)) {}
  du::Symbol GetName() const override { return "probe"; }
  float GetPriority() const override { return priority_; }
  void Run() override {
    if (body_) body_();
    runner = std::this_thread::get_id();
    ++runs;
  }
  void Abort() override { ++aborts; }

  std::atomic<int> runs{0}, aborts{0};
  std::atomic<std::thread::id> runner;

 private:
  float priority_;
  std::function<void()> body_;
};

using ProbePtr = du::SmartPtr<Probe>;

// Occupies `workers` workers of `pool` until `gate` opens.
void BlockWorkers(du::TaskPool& pool, int workers, std::latch& gate) {
  std::atomic<int> started{0};
  for (int i = 0; i < workers; ++i) {
    pool.InsertTask(new Probe(1e9F, [&] {
      ++started;
      gate.wait();
    }));
  }
  ASSERT_TRUE(Eventually([&] { return started == workers; }));
}

TEST(TaskPoolTest, TaskDefaultsAndInlineRunsWithoutThreads) {
  struct Flushing : du::Task {
    void FlushResults() override { ++flushes; }
    int flushes = 0;
  };
  du::SmartPtr<Flushing> task(new Flushing);
  EXPECT_EQ(task->GetName(), "<unknown task>");
  EXPECT_EQ(task->GetPriority(), 1.0F);
  try {
    task->Run();
    ADD_FAILURE() << "Run did not throw";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Task::Run() not implemented");
  }
  task->TaskComplete();
  EXPECT_EQ(task->flushes, 1);

  du::TaskPool pool(0);
  ProbePtr probe(new Probe);
  EXPECT_TRUE(pool.InsertTask(probe));
  EXPECT_EQ(probe->runs, 1);
  EXPECT_EQ(probe->runner.load(), std::this_thread::get_id());
  EXPECT_FALSE(pool.InsertTask(nullptr));
}

TEST(TaskPoolTest, StopAbortsQueuedTasksAndRefusesUntilStart) {
  du::TaskPool pool(2);
  std::latch gate(1);
  BlockWorkers(pool, 2, gate);
  std::vector<ProbePtr> queued(5, nullptr);
  for (auto& probe : queued) ASSERT_TRUE(pool.InsertTask(probe = new Probe));
  EXPECT_EQ(pool.GetNumTasks(), 5U);
  std::thread stopper([&] { pool.StopTaskPool(); });
  // While stopping, the target is 0: a task that runs inline shows it.
  ASSERT_TRUE(Eventually([&] {
    queued.emplace_back(new Probe);
    return pool.InsertTask(queued.back()) && queued.back()->runs == 1;
  }));
  queued.pop_back();
  gate.count_down();
  stopper.join();
  for (const auto& probe : queued) {
    EXPECT_EQ(std::pair(probe->runs.load(), probe->aborts.load()), std::pair(0, 1));
  }
  EXPECT_EQ(pool.GetNumTasks(), 0U);
  ProbePtr late(new Probe);
  EXPECT_FALSE(pool.InsertTask(late));
  pool.StartTaskPool();
  EXPECT_TRUE(pool.InsertTask(late));
  EXPECT_TRUE(Eventually([&] { return late->runs == 1; }));
}

TEST(TaskPoolTest, HigherPrioritiesRunFirstAndCompletePendingTasksDrains) {
  du::TaskPool pool(1);
  std::latch gate(1);
  BlockWorkers(pool, 1, gate);
  std::mutex mutex;
  std::vector<float> order;
  std::mt19937 random(7);
  std::vector<ProbePtr> queued;
  auto insert = [&](float priority) {
    queued.emplace_back(new Probe(priority, [&order, &mutex, priority] {
      std::lock_guard guard(mutex);
      order.push_back(priority);
    }));
    return pool.InsertTask(queued.back());
  };
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(insert(static_cast<float>(random() % 50)));
  ASSERT_TRUE(insert(100.0F));
  std::thread completer([&] { pool.CompletePendingTasks(); });
  ASSERT_TRUE(Eventually([&] { return !insert(static_cast<float>(random() % 50)); }));
  queued.pop_back();
  gate.count_down();
  completer.join();
  EXPECT_EQ(pool.GetNumTasks(), 0U);
  EXPECT_TRUE(insert(-1.0F));
  ASSERT_TRUE(Eventually([&] { return queued.back()->runs == 1; }));
  std::lock_guard guard(mutex);
  ASSERT_EQ(order.size(), queued.size());
  EXPECT_EQ(order.front(), 100.0F);
  EXPECT_TRUE(std::is_sorted(order.rbegin(), order.rend()));
}

TEST(TaskPoolTest, EscapingExceptionsAreTracedAndTheWorkerGoesOn) {
  qmk_test::ScopedTraceRecorder recorder;
  du::TaskPool pool(1);
  pool.InsertTask(new Probe(1.0F, [] { throw std::runtime_error("boom"); }));
  pool.InsertTask(new Probe(1.0F, [] { throw 42; }));
  ProbePtr after(new Probe);
  pool.InsertTask(after);
  ASSERT_TRUE(Eventually([&] { return after->runs == 1; }));
  std::string errors;
  for (const auto& record : recorder.log().Records()) {
    if (record.type == dp::Error && record.key == "du" && record.subKey == "TaskPool") {
      errors += record.text;
    }
  }
  EXPECT_NE(errors.find("\"probe\" threw an exception in Run: boom"), std::string::npos);
  EXPECT_NE(errors.find("\"probe\" threw an unknown exception in Run"), std::string::npos);
}

TEST(TaskPoolTest, SetTargetThreadsReturnsThePreviousAndLoweringKeepsQueuedTasks) {
  du::TaskPool pool(2);
  std::latch gate(1);
  BlockWorkers(pool, 2, gate);
  std::vector<ProbePtr> queued(20, nullptr);
  for (auto& probe : queued) pool.InsertTask(probe = new Probe);
  EXPECT_EQ(pool.SetTargetThreads(0), 2U);
  gate.count_down();
  for (const auto& probe : queued) EXPECT_TRUE(Eventually([&] { return probe->runs == 1; }));
  ProbePtr inlined(new Probe), pooled(new Probe);
  pool.InsertTask(inlined);
  EXPECT_EQ(inlined->runs, 1);
  EXPECT_EQ(pool.SetTargetThreads(3), 0U);
  pool.InsertTask(pooled);
  ASSERT_TRUE(Eventually([&] { return pooled->runs == 1; }));
  EXPECT_NE(pooled->runner.load(), std::this_thread::get_id());
}

// Checks when it goes that it was run or aborted exactly once if its pool
// accepted it, and neither if not.
class CheckedTask : public du::Task {
 public:
  static inline std::atomic<int> s_live{0}, s_wrong{0}, s_aborted{0};
  CheckedTask() { ++s_live; }
  ~CheckedTask() override {
    if (runs_ + aborts_ != (accepted ? 1 : 0)) ++s_wrong;
    --s_live;
  }
  void Run() override { ++runs_; }
  void Abort() override {
    ++aborts_;
    ++s_aborted;
  }
  bool accepted = false;

 private:
  std::atomic<int> runs_{0}, aborts_{0};
};

TEST(TaskPoolRace, EveryTaskRunsOrIsAbortedExactlyOnce) {
  CheckedTask::s_wrong = 0;
  CheckedTask::s_aborted = 0;
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
    // Until some stop has found tasks to abort.
    for (int i = 0; i < 200 || (CheckedTask::s_aborted == 0 && i < 100000); ++i) {
      switch (random() % 4) {
        case 0:
          pool.SetTargetThreads(random() % 4);
          break;
        case 1:
          pool.StopTaskPool();
          break;
        case 2:
          pool.StartTaskPool();
          break;
        default:
          pool.CompletePendingTasks();
          break;
      }
    }
    done = true;
    for (auto& thread : inserters) thread.join();
  }
  EXPECT_EQ(CheckedTask::s_live, 0);
  EXPECT_EQ(CheckedTask::s_wrong, 0);
  EXPECT_GT(CheckedTask::s_aborted, 0);
}

}  // namespace
