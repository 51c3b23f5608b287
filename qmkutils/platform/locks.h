// The library's locks.
//
// SpinLock is the everyday lock: re-entrant for the thread that holds it (each
// Lock needs its own Unlock), it spins briefly before sleeping, so short
// critical sections under contention rarely reach the kernel, and an
// uncontended Lock/Unlock costs two atomic operations.
//
// RecursiveLock is re-entrant too and must be unlocked by its owner; it is
// robust: a lock whose owner died while holding it is taken over by the next
// locker. Misuse throws std::runtime_error.
//
// Semaphore counts (up to 0x7FFFFFFF); WaitLock is a gate of count 0 or 1 that
// any thread may open, whichever thread closed it. Time limits are measured on
// the monotonic clock; a limit of 0 or 0xFFFFFFFF milliseconds means none.
// Releasing a count beyond the maximum changes nothing and throws
// std::runtime_error("Error signaling semaphore").
//
// SpinLock, RecursiveLock and WaitLock also answer to the standard names
// lock, try_lock and unlock, so std::lock_guard, std::unique_lock and
// std::scoped_lock work with them. All three carry clang's thread-safety
// annotations (qmkutils/platform/threadannotations.h).
//
// None of the locks can be copied: a copy would be a second owner of one lock.
#ifndef QMKUTILS_PLATFORM_LOCKS_H_
#define QMKUTILS_PLATFORM_LOCKS_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/threadannotations.h"

namespace dp {

class QMK_EXPORT QMK_CAPABILITY("mutex") SpinLock {
 public:
  // `spinCount` bounds the pause instructions a contended Lock spends
  // retrying before it sleeps.
  explicit SpinLock(int spinCount = 500);
  ~SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void Lock() QMK_ACQUIRE();
  bool TryLock() QMK_TRY_ACQUIRE(true);
  // Unlocking a lock that the calling thread does not hold does nothing.
  void Unlock() QMK_RELEASE();

  void lock() QMK_ACQUIRE() { Lock(); }
  bool try_lock() QMK_TRY_ACQUIRE(true) { return TryLock(); }
  void unlock() QMK_RELEASE() { Unlock(); }

 private:
  void LockContended();

  // 0 free, 1 held, 2 held with sleepers.
  std::atomic<uint32_t> word_{0};
  std::atomic<uintptr_t> owner_{0};  // the holder's thread tag, 0 when free
  uint32_t depth_ = 0;               // touched only by the owner
  int spinCount_;
};

class QMK_EXPORT QMK_CAPABILITY("mutex") RecursiveLock {
 public:
  RecursiveLock();  // throws "Cannot initialize mutex."
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock() QMK_ACQUIRE();             // throws "Error waiting for recursivelock"
  bool TryLock() QMK_TRY_ACQUIRE(true);  // throws "Error polling recursivelock"
  // Throws "Error unlocking recursivelock", also when not the owner.
  void Unlock() QMK_RELEASE();

  void lock() QMK_ACQUIRE() { Lock(); }
  bool try_lock() QMK_TRY_ACQUIRE(true) { return TryLock(); }
  void unlock() QMK_RELEASE() { Unlock(); }

 private:
  pthread_mutex_t mutex_;
};

class QMK_EXPORT Semaphore {
 public:
  // An initial count above the maximum throws "Cannot initialize semaphore.".
  explicit Semaphore(unsigned initial = 0);
  ~Semaphore() = default;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void Signal();
  // Releases `n` counts at once, or none if that would pass the maximum.
  void Signal(unsigned n);
  // Takes a count if one is available, without waiting.
  bool Poll();
  // Takes a count, waiting at most `milliseconds` (0 or 0xFFFFFFFF: no
  // limit). False on time-out.
  bool Wait(unsigned milliseconds);
  // The same without the short spin before sleeping, for a caller that has
  // just spun on a condition of its own that implies the count.
  bool WaitWithoutSpinning(unsigned milliseconds);

 private:
  friend class WaitLock;
  Semaphore(unsigned initial, unsigned maximum);
  bool TryTake();
  bool Release(unsigned n);

  // Counts available when positive; when negative, minus the number of
  // waiters still owed a wake-up. A release hands such waiters tokens and
  // wakes only them, so a wake-up never goes to a thread already woken.
  std::atomic<int64_t> count_;
  // Wake-up tokens not yet taken: the futex word the waiters sleep on.
  std::atomic<uint32_t> tokens_{0};
  uint32_t maximum_;
};

class QMK_EXPORT QMK_CAPABILITY("mutex") WaitLock {
 public:
  WaitLock();  // open
  ~WaitLock() = default;
  WaitLock(const WaitLock&) = delete;
  WaitLock& operator=(const WaitLock&) = delete;

  void Lock() QMK_ACQUIRE();             // waits until open, then closes
  bool TryLock() QMK_TRY_ACQUIRE(true);  // closes if open
  // Opens; throws "Error signaling semaphore" when already open.
  void Unlock() QMK_RELEASE();

  void lock() QMK_ACQUIRE() { Lock(); }
  bool try_lock() QMK_TRY_ACQUIRE(true) { return TryLock(); }
  void unlock() QMK_RELEASE() { Unlock(); }

 private:
  Semaphore gate_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_LOCKS_H_
