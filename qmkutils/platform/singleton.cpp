#include "qmkutils/platform/singleton.h"

#include <cstdlib>

#include "qmkutils/platform/badalloc.h"
#include "qmkutils/platform/exitcalls.h"
#include "qmkutils/platform/internal/forkhandlers.h"

namespace dp {

namespace {

// The process-exit schedule. Plain data: it must outlive every static
// destructor, since exit handlers run interleaved with them.
TrackerStackImpl s_exitStack;
std::atomic<SpinLock*> s_lifetimeLock{nullptr};

// Held across fork, so that a child may create singletons.
void LockLifetimeBeforeFork() QMK_NO_THREAD_SAFETY_ANALYSIS { LazySpinLock(s_lifetimeLock).Lock(); }
void UnlockLifetimeAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS {
  LazySpinLock(s_lifetimeLock).Unlock();
}

const fork::Registration s_forkRegistration(fork::Participant::kSingletonLifetime,
                                            {&LockLifetimeBeforeFork, &UnlockLifetimeAfterFork,
                                             &UnlockLifetimeAfterFork});

SpinLock& LifetimeLock() { return LazySpinLock(s_lifetimeLock); }

// One handler is registered per scheduled destroyer; each runs the destroyer
// of lowest longevity still scheduled, so the order follows longevity, not
// creation. The lock is re-entrant: a destroyer may create or use singletons
// of higher longevity, which schedules further entries.
void RunLowestExitCall() {
  SpinLock& lock = LifetimeLock();
  lock.Lock();
  if (s_exitStack.count > 0) {
    try {
      PopBack(&s_exitStack);
    } catch (...) {
      lock.Unlock();
      throw;
    }
  }
  lock.Unlock();
}

}  // namespace

DeadReference::DeadReference(const char* what) : std::runtime_error(what) {}
DeadReference::DeadReference(const DeadReference& other) = default;
DeadReference::~DeadReference() = default;

void SetLongevity(const void* object, unsigned longevity, void (*destroyer)()) {
  if (object == nullptr || destroyer == nullptr) {
    throw std::logic_error("dp::SetLongevity() expects an object and its destroyer.");
  }
  SpinLock& lock = LifetimeLock();
  lock.Lock();
  try {
    // The handler first: every handler pops whatever entry is lowest and
    // ignores an empty stack, so a spare handler is harmless, a missing one
    // would leave a singleton undestroyed.
    if (std::atexit(&RunLowestExitCall) != 0) ThrowBadAlloc();
    ScheduleAtExitCall(&s_exitStack, longevity, destroyer);
  } catch (...) {
    lock.Unlock();
    throw;
  }
  lock.Unlock();
}

}  // namespace dp
