#include "qmkutils/platform/busylock.h"

#include <sched.h>

#include "qmkutils/platform/internal/futex.h"

namespace dp {
namespace {

// Pause instructions spent before the waiter starts yielding its core: long
// enough for a holder running on another core to finish a short section.
constexpr int kSpinPauses = 2000;
constexpr int kMaxBackoff = 64;

}  // namespace

void BusyLock::LockContended() {
  int backoff = 1;
  int spun = 0;
  for (;;) {
    // Wait on a plain read, so waiters do not pull the line from the holder.
    while (held_.load(std::memory_order_relaxed)) {
      if (spun < kSpinPauses) {
        for (int i = 0; i < backoff; ++i) futex::CpuRelax();
        spun += backoff;
        if (backoff < kMaxBackoff) backoff *= 2;
      } else {
        sched_yield();  // the holder may have been preempted
      }
    }
    if (!held_.exchange(true, std::memory_order_acquire)) return;
  }
}

}  // namespace dp
