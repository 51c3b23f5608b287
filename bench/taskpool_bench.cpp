// du::TaskPool against a plain mutex and condition-variable pool of the same
// worker count and against tbb::task_group in a tbb::task_arena of as many
// threads (oneTBB 2021.8, Debian's build).
//
// Each iteration submits a batch of 1000 tasks and waits until all have run;
// per_task is the batch's time divided by 1000. Our pool and the plain pool
// take tasks from the benchmark thread and report the last one done; TBB's
// waiting thread runs tasks itself (its arena of 2 is the waiting thread and
// one worker) and hands them over without any system call.
//
// Results (g++ 12 -O2, 2-core x86-64 VM, median of 5 repetitions per run,
// four runs), from
//   cmake --build build --target qmk_taskpool_bench &&
//   build/bench/qmk_taskpool_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
//
// Empty tasks, 2 workers (per-task overhead); the figure is bimodal, as it
// depends on whether the workers fall asleep between tasks:
//   BM_Batch<OurPool>/0/real_time        per_task 0.19 - 0.79 us
//   BM_Batch<PlainPool>/0/real_time      per_task 0.19 - 0.43 us  OurPool 0.7 - 4.0x (median 1.6x)
//   BM_Batch<TbbGroup>/0/real_time       per_task 0.12 - 0.28 us  OurPool 0.7 - 6.8x (median 2.7x)
// Tasks spinning 10 us on the monotonic clock, 2 workers (throughput; 5 us
// per task is both cores busy), the three quiet runs:
//   BM_Batch<OurPool>/10000/real_time    per_task 5.45 - 5.47 us
//   BM_Batch<PlainPool>/10000/real_time  per_task 5.61 - 6.26 us  OurPool 0.87 - 0.98x
//   BM_Batch<TbbGroup>/10000/real_time   per_task 5.13 - 5.32 us  OurPool 1.03 - 1.06x
//
// Empty tasks run faster than one thread can insert them, so the workers
// keep falling asleep on the pool's dp::Semaphore. A release wakes only
// waiters still owed a count (0.04 futex calls per task, strace -c); most
// of what remains is the queue's dp::SpinLock, which the inserting thread
// and both workers take for every task. TBB's waiting thread runs tasks
// itself, without handing them over.

#include <benchmark/benchmark.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/utilities/taskpool.h"

namespace {

constexpr int kWorkers = 2;
constexpr int kBatch = 1000;

// Busy for `nanoseconds` of the monotonic clock (nothing for 0).
void Spin(int nanoseconds) {
  if (nanoseconds == 0) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(nanoseconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}

// Counts the tasks of a batch down; the last one wakes the waiter.
class Batch {
 public:
  explicit Batch(int count) : left_(count) {}
  void Done() {
    if (left_.fetch_sub(1, std::memory_order_acq_rel) == 1) left_.notify_one();
  }
  void Wait() {
    for (int left = left_.load(std::memory_order_acquire); left != 0;
         left = left_.load(std::memory_order_acquire)) {
      left_.wait(left, std::memory_order_acquire);
    }
  }

 private:
  std::atomic<int> left_;
};

class SpinTask : public du::Task, public du::CommonAllocated {
 public:
  SpinTask(Batch& batch, int nanoseconds) : batch_(batch), nanoseconds_(nanoseconds) {}
  void Run() override { Spin(nanoseconds_); }
  void TaskComplete() override { batch_.Done(); }

 private:
  Batch& batch_;
  int nanoseconds_;
};

class OurPool {
 public:
  void RunBatch(int nanoseconds) {
    Batch batch(kBatch);
    for (int i = 0; i < kBatch; ++i) pool_.InsertTask(new SpinTask(batch, nanoseconds));
    batch.Wait();
  }

 private:
  du::TaskPool pool_{kWorkers};
};

// The smallest fair pool: one mutex, one condition variable, FIFO order.
class PlainPool {
 public:
  PlainPool() {
    for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~PlainPool() {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker.join();
  }
  PlainPool(const PlainPool&) = delete;
  PlainPool& operator=(const PlainPool&) = delete;

  void RunBatch(int nanoseconds) {
    Batch batch(kBatch);
    for (int i = 0; i < kBatch; ++i) {
      {
        std::lock_guard guard(mutex_);
        jobs_.emplace_back([&batch, nanoseconds] {
          Spin(nanoseconds);
          batch.Done();
        });
      }
      wake_.notify_one();
    }
    batch.Wait();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

class TbbGroup {
 public:
  void RunBatch(int nanoseconds) {
    arena_.execute([&] {
      tbb::task_group group;
      for (int i = 0; i < kBatch; ++i) group.run([nanoseconds] { Spin(nanoseconds); });
      group.wait();
    });
  }

 private:
  tbb::task_arena arena_{kWorkers};
};

// state.range(0): the nanoseconds each task spins.
template <class Pool>
void BM_Batch(benchmark::State& state) {
  Pool pool;
  const int nanoseconds = static_cast<int>(state.range(0));
  for (auto _ : state) pool.RunBatch(nanoseconds);
  state.counters["per_task"] = benchmark::Counter(
      kBatch, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK_TEMPLATE(BM_Batch, OurPool)->Arg(0)->Arg(10000)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Batch, PlainPool)->Arg(0)->Arg(10000)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Batch, TbbGroup)->Arg(0)->Arg(10000)->UseRealTime();

}  // namespace
