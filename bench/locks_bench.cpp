// The library's locks against the standard library's.
//
// Results (g++ 12 -O2, 2-core x86-64 VM, median of 5 repetitions), from
//   cmake --build build --target qmk_locks_bench &&
//   build/bench/qmk_locks_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
//   BM_UncontendedLockUnlock<dp::SpinLock>                      7.18 ns
//   BM_UncontendedLockUnlock<std::mutex>                        8.30 ns   SpinLock 0.87x
//   BM_ContendedShortSection<dp::SpinLock>/threads:2            10.2 ns
//   BM_ContendedShortSection<std::mutex>/threads:2              31.9 ns   SpinLock 0.32x
//   BM_SemaphorePingPong<DpSemaphorePair>                        262 ns
//   BM_SemaphorePingPong<StdSemaphorePair>                       763 ns   Semaphore 0.34x
//   BM_ReadMostly<dp::ReadWriteLock>/threads:2                  53.5 ns
//   BM_ReadMostly<std::shared_mutex>/threads:2                  88.1 ns   ReadWriteLock 0.61x

#include <benchmark/benchmark.h>

#include <mutex>
#include <semaphore>
#include <shared_mutex>
#include <thread>

#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/readwritelock.h"

namespace {

template <class Mutex>
void BM_UncontendedLockUnlock(benchmark::State& state) {
  // glibc skips atomic operations in std::mutex while a process has never
  // had a second thread; the library's users always have more than one.
  std::thread([] {}).join();
  Mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
    benchmark::ClobberMemory();
  }
}
BENCHMARK_TEMPLATE(BM_UncontendedLockUnlock, dp::SpinLock);
BENCHMARK_TEMPLATE(BM_UncontendedLockUnlock, std::mutex);

// Two threads take turns on a short critical section.
template <class Mutex>
void BM_ContendedShortSection(benchmark::State& state) {
  static Mutex s_mutex;
  static long s_counter = 0;
  for (auto _ : state) {
    std::lock_guard guard(s_mutex);
    benchmark::DoNotOptimize(++s_counter);
  }
}
BENCHMARK_TEMPLATE(BM_ContendedShortSection, dp::SpinLock)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ContendedShortSection, std::mutex)->Threads(2)->UseRealTime();

// One round trip: signal the partner's semaphore, wait on our own.
struct DpSemaphorePair {
  dp::Semaphore ping, pong;
  void Signal(bool first) { (first ? ping : pong).Signal(); }
  void Wait(bool first) { (first ? ping : pong).Wait(0); }
};
struct StdSemaphorePair {
  std::counting_semaphore<0x7FFFFFFF> ping{0}, pong{0};
  void Signal(bool first) { (first ? ping : pong).release(); }
  void Wait(bool first) { (first ? ping : pong).acquire(); }
};

template <class Pair>
void BM_SemaphorePingPong(benchmark::State& state) {
  Pair pair;
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      pair.Wait(true);
      if (stop.load(std::memory_order_relaxed)) return;
      pair.Signal(false);
    }
  });
  for (auto _ : state) {
    pair.Signal(true);
    pair.Wait(false);
  }
  stop = true;
  pair.Signal(true);
  partner.join();
}
BENCHMARK_TEMPLATE(BM_SemaphorePingPong, DpSemaphorePair)->UseRealTime();
BENCHMARK_TEMPLATE(BM_SemaphorePingPong, StdSemaphorePair)->UseRealTime();

// 99 reads for every write, at two threads.
template <class Lock>
void BM_ReadMostly(benchmark::State& state) {
  static Lock s_lock;
  static long s_value = 0;
  long i = 0;
  for (auto _ : state) {
    if (++i % 100 == 0) {
      std::unique_lock guard(s_lock);
      ++s_value;
    } else {
      std::shared_lock guard(s_lock);
      benchmark::DoNotOptimize(s_value);
    }
  }
}
BENCHMARK_TEMPLATE(BM_ReadMostly, dp::ReadWriteLock)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_ReadMostly, std::shared_mutex)->Threads(2)->UseRealTime();

}  // namespace
