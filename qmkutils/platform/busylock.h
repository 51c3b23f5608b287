// A lock for critical sections of a few dozen instructions.
//
// dp::BusyLock costs one atomic exchange to take and a plain store to give
// back, about half of what SpinLock costs, because it never sleeps in the
// kernel: a waiter spins with growing pauses and then yields its core until
// the lock is free. It is not re-entrant, and only its holder may unlock it.
// Use it where the holder never blocks for long (the allocators' free lists);
// anything that may wait belongs under SpinLock.
//
// It answers to lock, try_lock and unlock, so the standard guards work, and
// carries clang's thread-safety annotations. Not copyable.
#ifndef QMKUTILS_PLATFORM_BUSYLOCK_H_
#define QMKUTILS_PLATFORM_BUSYLOCK_H_

#include <atomic>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/threadannotations.h"

namespace dp {

class QMK_EXPORT QMK_CAPABILITY("mutex") BusyLock {
 public:
  BusyLock() = default;
  BusyLock(const BusyLock&) = delete;
  BusyLock& operator=(const BusyLock&) = delete;

  void Lock() QMK_ACQUIRE() {
    if (held_.exchange(true, std::memory_order_acquire)) LockContended();
  }
  bool TryLock() QMK_TRY_ACQUIRE(true) {
    return !held_.load(std::memory_order_relaxed) &&
           !held_.exchange(true, std::memory_order_acquire);
  }
  void Unlock() QMK_RELEASE() { held_.store(false, std::memory_order_release); }

  void lock() QMK_ACQUIRE() { Lock(); }
  bool try_lock() QMK_TRY_ACQUIRE(true) { return TryLock(); }
  void unlock() QMK_RELEASE() { Unlock(); }

 private:
  void LockContended();

  std::atomic<bool> held_{false};
};

// Holds a BusyLock for its scope.
class QMK_SCOPED_CAPABILITY BusyLockGuard {
 public:
  explicit BusyLockGuard(BusyLock& lock) QMK_ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~BusyLockGuard() QMK_RELEASE() { lock_.Unlock(); }
  BusyLockGuard(const BusyLockGuard&) = delete;
  BusyLockGuard& operator=(const BusyLockGuard&) = delete;

 private:
  BusyLock& lock_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_BUSYLOCK_H_
