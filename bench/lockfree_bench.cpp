// The lock-free block allocator against the locked block allocator, mimalloc
// and glibc: one New and one Delete of a 64-byte element per iteration. At two
// threads the figure is wall time over the iterations of both threads.
//
// Results (g++ 12 -O2, 2-core x86-64 VM, median of 5 repetitions), from
//   cmake --build build --target qmk_lockfree_bench &&
//   build/bench/qmk_lockfree_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
//   BM_NewDeletePair<LockFree>/real_time/threads:1              20.0 ns
//   BM_NewDeletePair<Locked>/real_time/threads:1                9.71 ns   LockFree 2.06x
//   BM_NewDeletePair<Mimalloc>/real_time/threads:1              10.9 ns   LockFree 1.83x
//   BM_NewDeletePair<Glibc>/real_time/threads:1                 11.1 ns   LockFree 1.80x
//   BM_NewDeletePair<LockFree>/real_time/threads:2              37.7 ns
//   BM_NewDeletePair<Locked>/real_time/threads:2                14.1 ns   LockFree 2.67x
//   BM_NewDeletePair<Mimalloc>/real_time/threads:2              5.35 ns   LockFree 7.05x
//   BM_NewDeletePair<Glibc>/real_time/threads:2                 5.64 ns   LockFree 6.68x
//
// A pair costs the lock-free allocator four atomic read-modify-writes (the
// heap counter, the active word, the anchor twice) where the locked one takes
// its lock twice. At two threads every heap serves both threads, since the
// heap is chosen round-robin per call, so the counter, active words and
// anchors move between the cores: over 8 runs the two-thread figure ranged
// from 31 to 143 ns, depending on how the threads' turns interleave.

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <thread>

#include "qmkutils/memory/blockalloc.h"
#include "qmkutils/memory/lockfreeblockalloc.h"
#include "qmkutils/memory/systemallocator.h"

namespace {

constexpr unsigned kElementSize = 64;

// glibc takes its single-threaded shortcuts while a process has never had a
// second thread; the library's users always have several.
void EnterMultiThreadedMode() {
  static const bool s_entered = [] {
    std::thread([] {}).join();
    return true;
  }();
  benchmark::DoNotOptimize(s_entered);
}

struct LockFree {
  static du::LockFreeBlockAlloc& Instance() {
    static du::LockFreeBlockAlloc s_alloc(kElementSize, 0, true);
    return s_alloc;
  }
  static bool Available() { return true; }
  static void* Allocate() { return Instance().New(); }
  static void Free(void* element) { Instance().Delete(element); }
};

struct Locked {
  using Supplier =
      du::SystemAllocator<du::LockedSystemAllocatorPolicy,
                          du::DefaultPageRequestPolicy<1048576, 16777216, 32, 8192, dp::MemoryMap>>;
  struct Allocators {
    Supplier supplier{"lockfree_bench supplier"};
    du::BlockAlloc<du::LockedBlockAllocPolicy, 1, 1> blocks{
        "lockfree_bench blocks", &supplier, kElementSize, 0, true, true};
  };
  static Allocators& Instance() {
    static Allocators s_allocators;
    return s_allocators;
  }
  static bool Available() { return true; }
  static void* Allocate() { return Instance().blocks.Allocate(nullptr); }
  static void Free(void* element) { Instance().blocks.Free(element); }
};

struct Glibc {
  static bool Available() { return true; }
  static void* Allocate() { return std::malloc(kElementSize); }
  static void Free(void* element) { std::free(element); }
};

// Debian's mimalloc exports malloc and free too, so linking it would take
// over every allocation of the process, glibc's included. It is loaded
// privately instead (RTLD_LOCAL), and only mi_malloc and mi_free are called.
struct Mimalloc {
  using MallocFunction = void* (*)(std::size_t);
  using FreeFunction = void (*)(void*);
  struct Api {
    MallocFunction malloc = nullptr;
    FreeFunction free = nullptr;
  };
  static const Api& Instance() {
    static const Api s_api = [] {
      Api api;
#ifdef QMK_MIMALLOC_LIBRARY
      if (void* library = dlopen(QMK_MIMALLOC_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
        api.malloc = reinterpret_cast<MallocFunction>(dlsym(library, "mi_malloc"));
        api.free = reinterpret_cast<FreeFunction>(dlsym(library, "mi_free"));
      }
#endif
      return api;
    }();
    return s_api;
  }
  static bool Available() { return Instance().malloc != nullptr && Instance().free != nullptr; }
  static void* Allocate() { return Instance().malloc(kElementSize); }
  static void Free(void* element) { Instance().free(element); }
};

template <class Alloc>
void BM_NewDeletePair(benchmark::State& state) {
  EnterMultiThreadedMode();
  if (!Alloc::Available()) {
    state.SkipWithError("allocator not available");
    return;
  }
  Alloc::Free(Alloc::Allocate());  // builds the allocator outside the timing
  for (auto _ : state) {
    void* element = Alloc::Allocate();
    benchmark::DoNotOptimize(element);
    Alloc::Free(element);
  }
}
BENCHMARK_TEMPLATE(BM_NewDeletePair, LockFree)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_NewDeletePair, Locked)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_NewDeletePair, Mimalloc)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_NewDeletePair, Glibc)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
