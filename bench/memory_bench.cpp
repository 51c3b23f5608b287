// The library's allocators and counted pointer against glibc, mimalloc and
// std::shared_ptr.
//
// Results (g++ 12 -O3, 2-core x86-64 VM, median of 5 repetitions, each group
// run on its own with --benchmark_filter while nothing else ran), from
//   cmake --build build-bench --target qmk_memory_bench &&
//   build-bench/bench/qmk_memory_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
// One thread, allocate and free at once (bytes):
//   BM_AllocFree<Common>/16                            9.92 ns
//   BM_AllocFree<Common>/64                            9.32 ns
//   BM_AllocFree<Common>/256                           8.96 ns
//   BM_AllocFree<Glibc>/16                             12.1 ns   Common 0.82x
//   BM_AllocFree<Glibc>/64                             11.3 ns   Common 0.82x
//   BM_AllocFree<Glibc>/256                            10.9 ns   Common 0.82x
//   BM_AllocFree<Mimalloc>/16                          10.9 ns   Common 0.91x
//   BM_AllocFree<Mimalloc>/64                          11.1 ns   Common 0.84x
//   BM_AllocFree<Mimalloc>/256                         14.2 ns   Common 0.63x
// One thread, 64 blocks alive, the oldest replaced:
//   BM_Ring<Common>/16                                 8.93 ns
//   BM_Ring<Common>/64                                 9.12 ns
//   BM_Ring<Common>/256                                8.26 ns
//   BM_Ring<Glibc>/16                                    12 ns   Common 0.74x
//   BM_Ring<Glibc>/64                                  11.1 ns   Common 0.82x
//   BM_Ring<Glibc>/256                                 11.1 ns   Common 0.74x
//   BM_Ring<Mimalloc>/16                               6.61 ns   Common 1.35x
//   BM_Ring<Mimalloc>/64                               6.86 ns   Common 1.33x
//   BM_Ring<Mimalloc>/256                              6.83 ns   Common 1.21x
// Two threads, each with its own ring; wall time per operation of the two
// (half the one-thread figure is perfect scaling). Common's 16-byte figure
// is bimodal (about 6 or 14 ns from run to run): the two threads' 16-byte
// slots can share cache lines.
//   BM_Ring<Common>/16/threads:2                         14 ns
//   BM_Ring<Common>/64/threads:2                       4.21 ns
//   BM_Ring<Common>/256/threads:2                      4.14 ns
//   BM_Ring<Glibc>/16/threads:2                        5.69 ns   Common 2.46x
//   BM_Ring<Glibc>/64/threads:2                        5.66 ns   Common 0.74x
//   BM_Ring<Glibc>/256/threads:2                       5.74 ns   Common 0.72x
//   BM_Ring<Mimalloc>/16/threads:2                     3.06 ns   Common 4.58x
//   BM_Ring<Mimalloc>/64/threads:2                     3.15 ns   Common 1.34x
//   BM_Ring<Mimalloc>/256/threads:2                    3.44 ns   Common 1.20x
// One thread allocates, another frees; per block. All three figures move
// together by up to 3x between runs (where the host places the two CPUs);
// across runs Common stays 0.58-0.67x glibc and 0.82-1.12x mimalloc.
//   BM_CrossThreadFree<Common>                          117 ns
//   BM_CrossThreadFree<Glibc>                           203 ns   Common 0.58x
//   BM_CrossThreadFree<Mimalloc>                        143 ns   Common 0.82x
// Small-block allocator, N live 16-byte objects freed in random order; per
// free:
//   BM_RandomOrderFree<SmallBlocks>/100000             54.3 ns
//   BM_RandomOrderFree<SmallBlocks>/1000000             111 ns
//   BM_RandomOrderFree<GlibcBlocks>/100000             15.9 ns   SmallBlockAlloc 3.41x
//   BM_RandomOrderFree<GlibcBlocks>/1000000            75.6 ns   SmallBlockAlloc 1.46x
// Copy and destroy a counted pointer:
//   BM_SmartPtrCopy                                    5.08 ns
//   BM_SharedPtrCopy                                   10.8 ns   SmartPtr 0.47x

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smallblockalloc.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/memory/systemallocator.h"

namespace {

// glibc takes its single-threaded shortcuts while a process has never had a
// second thread; the library's users always have several.
void EnterMultiThreadedMode() {
  static const bool s_entered = [] {
    std::thread([] {}).join();
    return true;
  }();
  benchmark::DoNotOptimize(s_entered);
}

struct Common {
  static bool Available() { return true; }
  static void* Allocate(unsigned size) { return du::CommonAllocatorImpl::Allocate(size, nullptr); }
  static void Free(void* block, unsigned size) { du::CommonAllocatorImpl::Deallocate(block, size); }
};

struct Glibc {
  static bool Available() { return true; }
  static void* Allocate(unsigned size) { return std::malloc(size); }
  static void Free(void* block, unsigned) { std::free(block); }
};

// Debian's mimalloc exports malloc and free too, so linking it would take
// over every allocation of the process, glibc's comparisons included. It is
// loaded privately instead (RTLD_LOCAL), and only mi_malloc and mi_free are
// called.
struct MimallocApi {
  void* (*malloc)(std::size_t) = nullptr;
  void (*free)(void*) = nullptr;
};

const MimallocApi& Mi() {
  static const MimallocApi s_api = [] {
    MimallocApi api;
#ifdef QMK_MIMALLOC_LIBRARY
    if (void* library = dlopen(QMK_MIMALLOC_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
      api.malloc = reinterpret_cast<void* (*)(std::size_t)>(dlsym(library, "mi_malloc"));
      api.free = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
    }
#endif
    return api;
  }();
  return s_api;
}

struct Mimalloc {
  static bool Available() { return Mi().malloc != nullptr && Mi().free != nullptr; }
  static void* Allocate(unsigned size) { return Mi().malloc(size); }
  static void Free(void* block, unsigned) { Mi().free(block); }
};

template <class Alloc>
bool Prepare(benchmark::State& state) {
  EnterMultiThreadedMode();
  if (Alloc::Available()) return true;
  state.SkipWithError("allocator not available");
  return false;
}

// Allocate and free at once: the allocator's fastest path.
template <class Alloc>
void BM_AllocFree(benchmark::State& state) {
  if (!Prepare<Alloc>(state)) return;
  const auto size = static_cast<unsigned>(state.range(0));
  Alloc::Free(Alloc::Allocate(size), size);
  for (auto _ : state) {
    void* block = Alloc::Allocate(size);
    benchmark::DoNotOptimize(block);
    Alloc::Free(block, size);
  }
}

// 64 blocks stay alive; each iteration allocates one and frees the oldest, so
// a block is reused only after 64 others.
template <class Alloc>
void BM_Ring(benchmark::State& state) {
  if (!Prepare<Alloc>(state)) return;
  constexpr unsigned kRingSize = 64;
  const auto size = static_cast<unsigned>(state.range(0));
  std::array<void*, kRingSize> ring;
  for (void*& block : ring) block = Alloc::Allocate(size);
  unsigned oldest = 0;
  for (auto _ : state) {
    void* block = Alloc::Allocate(size);
    benchmark::DoNotOptimize(block);
    Alloc::Free(ring[oldest], size);
    ring[oldest] = block;
    oldest = (oldest + 1) % kRingSize;
  }
  for (void* block : ring) Alloc::Free(block, size);
}

#define QMK_SIZES Arg(16)->Arg(64)->Arg(256)
BENCHMARK_TEMPLATE(BM_AllocFree, Common)->QMK_SIZES;
BENCHMARK_TEMPLATE(BM_AllocFree, Glibc)->QMK_SIZES;
BENCHMARK_TEMPLATE(BM_AllocFree, Mimalloc)->QMK_SIZES;
BENCHMARK_TEMPLATE(BM_Ring, Common)->QMK_SIZES;
BENCHMARK_TEMPLATE(BM_Ring, Glibc)->QMK_SIZES;
BENCHMARK_TEMPLATE(BM_Ring, Mimalloc)->QMK_SIZES;
// Two threads, each with its own ring, allocating the same size.
BENCHMARK_TEMPLATE(BM_Ring, Common)->QMK_SIZES->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Ring, Glibc)->QMK_SIZES->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Ring, Mimalloc)->QMK_SIZES->Threads(2)->UseRealTime();

// Pins the calling thread to one CPU; false when that is refused.
bool PinToCpu(unsigned cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// Spins on `ready` while the partner thread works, giving the core up only
// after a while.
template <class Ready>
void WaitFor(Ready ready) {
  for (unsigned spins = 0; !ready(); ++spins) {
    if (spins >= 4096) std::this_thread::yield();
  }
}

// The benchmark thread allocates 64-byte blocks and hands them, in batches of
// 64 through a single-producer single-consumer ring, to a thread that frees
// them. The two threads are pinned to CPUs 0 and 1: left to the scheduler,
// they sometimes share a CPU and take turns, which hides the cross-core
// traffic this measures. Time is per block.
template <class Alloc>
void BM_CrossThreadFree(benchmark::State& state) {
  if (!Prepare<Alloc>(state)) return;
  cpu_set_t savedAffinity;
  pthread_getaffinity_np(pthread_self(), sizeof savedAffinity, &savedAffinity);
  if (std::thread::hardware_concurrency() < 2 || !PinToCpu(0)) {
    state.SkipWithError("needs two CPUs");
    return;
  }
  constexpr unsigned kSize = 64;
  constexpr unsigned kBatch = 64;
  constexpr std::uint64_t kSlots = 16;
  struct HandOff {
    std::array<std::array<void*, kBatch>, kSlots> batches;
    alignas(64) std::atomic<std::uint64_t> published{0};
    alignas(64) std::atomic<std::uint64_t> consumed{0};
    alignas(64) std::atomic<bool> done{false};
  };
  auto handOff = std::make_unique<HandOff>();
  std::thread consumer([&handOff] {
    PinToCpu(1);
    HandOff& ring = *handOff;
    for (std::uint64_t next = 0;; ++next) {
      WaitFor([&] {
        return next != ring.published.load(std::memory_order_acquire) ||
               ring.done.load(std::memory_order_acquire);
      });
      if (next == ring.published.load(std::memory_order_acquire)) return;  // done, drained
      for (void* block : ring.batches[next % kSlots]) Alloc::Free(block, kSize);
      ring.consumed.store(next + 1, std::memory_order_release);
    }
  });
  HandOff& ring = *handOff;
  std::uint64_t published = 0;
  unsigned filled = 0;
  for (auto _ : state) {
    if (filled == 0) {
      WaitFor([&] { return published - ring.consumed.load(std::memory_order_acquire) < kSlots; });
    }
    ring.batches[published % kSlots][filled] = Alloc::Allocate(kSize);
    if (++filled == kBatch) {
      ring.published.store(++published, std::memory_order_release);
      filled = 0;
    }
  }
  for (unsigned i = 0; i < filled; ++i) Alloc::Free(ring.batches[published % kSlots][i], kSize);
  ring.done.store(true, std::memory_order_release);
  consumer.join();
  pthread_setaffinity_np(pthread_self(), sizeof savedAffinity, &savedAffinity);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_CrossThreadFree, Common)->UseRealTime();
BENCHMARK_TEMPLATE(BM_CrossThreadFree, Glibc)->UseRealTime();
BENCHMARK_TEMPLATE(BM_CrossThreadFree, Mimalloc)->UseRealTime();

// A thread-safe small-block allocator of 16-byte slots, for the random-order
// free; the supplier is declared first so that it outlives the allocator.
struct SmallBlocks {
  using Supplier =
      du::SystemAllocator<du::LockedSystemAllocatorPolicy, du::PageRequestsOfMiB<8192>>;
  Supplier supplier{"Bench Small Block Supplier"};
  du::SmallBlockAlloc<du::LockedSmallBlockAllocPolicy, 1, 1> alloc{"Bench Small Blocks", &supplier,
                                                                   16};
  void* Allocate() { return alloc.Allocate(nullptr); }
  void Free(void* block) { alloc.Free(block); }
};

struct GlibcBlocks {
  static void* Allocate() { return std::malloc(16); }
  static void Free(void* block) { std::free(block); }
};

// N live 16-byte objects freed in a random order (one permutation, drawn
// once). Only the frees are timed; per_free is the figure to compare.
template <class Blocks>
void BM_RandomOrderFree(benchmark::State& state) {
  EnterMultiThreadedMode();
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::shuffle(order.begin(), order.end(), std::mt19937_64{42});
  std::vector<void*> blocks(count);
  std::vector<void*> shuffled(count);
  auto owner = std::make_unique<Blocks>();
  for (auto _ : state) {
    for (void*& block : blocks) block = owner->Allocate();
    for (std::size_t i = 0; i < count; ++i) shuffled[i] = blocks[order[i]];
    const auto start = std::chrono::steady_clock::now();
    for (void* block : shuffled) owner->Free(block);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
  }
  const double frees = static_cast<double>(state.iterations()) * static_cast<double>(count);
  state.counters["per_free"] =
      benchmark::Counter(frees, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_TEMPLATE(BM_RandomOrderFree, SmallBlocks)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_RandomOrderFree, GlibcBlocks)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

struct CountedObject : virtual du::RefCounted {
  int value = 0;
};
struct PlainObject {
  int value = 0;
};

// One copy and one destruction of a counted pointer: an atomic increment and
// an atomic decrement.
void BM_SmartPtrCopy(benchmark::State& state) {
  EnterMultiThreadedMode();
  const du::SmartPtr<CountedObject> original(new CountedObject);
  for (auto _ : state) {
    du::SmartPtr<CountedObject> copy(original);
    benchmark::DoNotOptimize(copy.Get());
  }
}
BENCHMARK(BM_SmartPtrCopy);

void BM_SharedPtrCopy(benchmark::State& state) {
  EnterMultiThreadedMode();
  const auto original = std::make_shared<PlainObject>();
  for (auto _ : state) {
    std::shared_ptr<PlainObject> copy(original);
    benchmark::DoNotOptimize(copy.get());
  }
}
BENCHMARK(BM_SharedPtrCopy);

}  // namespace
