#include "qmkutils/platform/locks.h"

#include <errno.h>

#include <algorithm>
#include <stdexcept>

#include "qmkutils/platform/internal/futex.h"

namespace dp {

namespace {

// A waiter spins this many times on an empty semaphore before it sleeps: a
// count released by a thread running on another core arrives well within
// this, and sleeping costs two system calls and a context switch.
constexpr int kSemaphoreSpins = 200;

constexpr uint32_t kFree = 0;
constexpr uint32_t kHeld = 1;
constexpr uint32_t kHeldWithSleepers = 2;

// Longest pause between two looks at a contended lock, in pause instructions.
constexpr int kMaxBackoff = 32;

// Identifies the calling thread: the address of its thread control block,
// which is what pthread_self() returns, read without a call.
uintptr_t CurrentThreadTag() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }

}  // namespace

// ---------------------------------------------------------------- SpinLock

SpinLock::SpinLock(int spinCount) : spinCount_(spinCount < 0 ? 0 : spinCount) {}

void SpinLock::Lock() {
  const uintptr_t self = CurrentThreadTag();
  // Only this thread can have stored `self`, so a relaxed read suffices.
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++depth_;
    return;
  }
  uint32_t expected = kFree;
  if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
    LockContended();
  }
  owner_.store(self, std::memory_order_relaxed);
  depth_ = 1;
}

void SpinLock::LockContended() {
  // Spinning with a growing pause between looks: a waiter that reads the
  // lock's cache line on every pause slows down the holder it waits for.
  int backoff = 1;
  for (int spun = 0; spun < spinCount_; spun += backoff) {
    for (int i = 0; i < backoff; ++i) futex::CpuRelax();
    if (backoff < kMaxBackoff) backoff *= 2;
    uint32_t expected = kFree;
    if (word_.load(std::memory_order_relaxed) == kFree &&
        word_.compare_exchange_weak(expected, kHeld, std::memory_order_acquire,
                                    std::memory_order_relaxed)) {
      return;
    }
  }
  // Announce a sleeper; whoever unlocks then wakes one. Taking the lock this
  // way keeps the sleeper mark, which may cost one needless wake later but
  // never loses one.
  while (word_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree) {
    futex::Wait(&word_, kHeldWithSleepers);
  }
}

bool SpinLock::TryLock() {
  const uintptr_t self = CurrentThreadTag();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++depth_;
    return true;
  }
  uint32_t expected = kFree;
  if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
    return false;
  }
  owner_.store(self, std::memory_order_relaxed);
  depth_ = 1;
  return true;
}

void SpinLock::Unlock() {
  if (owner_.load(std::memory_order_relaxed) != CurrentThreadTag()) return;
  if (--depth_ > 0) return;
  owner_.store(0, std::memory_order_relaxed);
  if (word_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) {
    futex::Wake(&word_, 1);
  }
}

// ----------------------------------------------------------- RecursiveLock

RecursiveLock::RecursiveLock() {
  pthread_mutexattr_t attributes;
  bool ok = pthread_mutexattr_init(&attributes) == 0;
  ok = ok && pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
       pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
       pthread_mutex_init(&mutex_, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!ok) throw std::runtime_error("Cannot initialize mutex.");
}

RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(&mutex_); }

void RecursiveLock::Lock() {
  int rc = pthread_mutex_lock(&mutex_);
  // An owner that died holding the lock abandons it to us.
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&mutex_);
  if (rc != 0) throw std::runtime_error("Error waiting for recursivelock");
}

bool RecursiveLock::TryLock() {
  int rc = pthread_mutex_trylock(&mutex_);
  if (rc == EBUSY) return false;
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&mutex_);
  if (rc != 0) throw std::runtime_error("Error polling recursivelock");
  return true;
}

void RecursiveLock::Unlock() {
  if (pthread_mutex_unlock(&mutex_) != 0) {
    throw std::runtime_error("Error unlocking recursivelock");
  }
}

// --------------------------------------------------------------- Semaphore

Semaphore::Semaphore(unsigned initial) : Semaphore(initial, 0x7FFFFFFF) {}

Semaphore::Semaphore(unsigned initial, unsigned maximum) : count_(initial), maximum_(maximum) {
  if (initial > maximum) throw std::runtime_error("Cannot initialize semaphore.");
}

bool Semaphore::TryTake() {
  int64_t count = count_.load(std::memory_order_relaxed);
  while (count > 0) {
    if (count_.compare_exchange_weak(count, count - 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

bool Semaphore::Release(unsigned n) {
  int64_t count = count_.load(std::memory_order_relaxed);
  do {
    // Waiters do not count against the maximum: only what stays available.
    if (n > maximum_ - static_cast<uint32_t>(std::max<int64_t>(count, 0))) return false;
  } while (!count_.compare_exchange_weak(count, count + n, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  const int64_t owed = std::min<int64_t>(n, -std::min<int64_t>(count, 0));
  if (owed > 0) {
    tokens_.fetch_add(static_cast<uint32_t>(owed), std::memory_order_release);
    futex::Wake(&tokens_, static_cast<int>(owed));
  }
  return true;
}

void Semaphore::Signal() { Signal(1); }

void Semaphore::Signal(unsigned n) {
  if (n == 0) return;
  if (!Release(n)) throw std::runtime_error("Error signaling semaphore");
}

bool Semaphore::Poll() { return TryTake(); }

bool Semaphore::Wait(unsigned milliseconds) {
  if (TryTake()) return true;
  for (int i = 0; i < kSemaphoreSpins; ++i) {
    futex::CpuRelax();
    if (count_.load(std::memory_order_relaxed) > 0 && TryTake()) return true;
  }
  return WaitWithoutSpinning(milliseconds);
}

bool Semaphore::WaitWithoutSpinning(unsigned milliseconds) {
  // Take a count, or else become a waiter owed one.
  if (count_.fetch_sub(1, std::memory_order_acquire) > 0) return true;
  bool unlimited = milliseconds == 0 || milliseconds == 0xFFFFFFFF;
  const timespec deadline = unlimited ? timespec{} : futex::DeadlineAfter(milliseconds);
  for (;;) {
    uint32_t tokens = tokens_.load(std::memory_order_relaxed);
    while (tokens > 0) {
      if (tokens_.compare_exchange_weak(tokens, tokens - 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        return true;
      }
    }
    if (!futex::Wait(&tokens_, 0, unlimited ? nullptr : &deadline)) {
      // Timed out: stop being owed a count, unless a release has already
      // paid one, whose token is then on its way and must be taken.
      int64_t count = count_.load(std::memory_order_relaxed);
      while (count < 0) {
        if (count_.compare_exchange_weak(count, count + 1, std::memory_order_relaxed)) {
          return false;
        }
      }
      unlimited = true;
    }
  }
}

// ---------------------------------------------------------------- WaitLock

WaitLock::WaitLock() : gate_(1, 1) {}

void WaitLock::Lock() { gate_.Wait(0); }

bool WaitLock::TryLock() { return gate_.Poll(); }

void WaitLock::Unlock() {
  if (!gate_.Release(1)) throw std::runtime_error("Error signaling semaphore");
}

}  // namespace dp
