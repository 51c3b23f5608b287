// A shared/exclusive lock that is re-entrant and prefers writers.
//
// A thread may take the read lock and the write lock any number of times and
// in any mix; each lock needs its matching unlock (an unlock without one does
// nothing). A thread that holds the write lock takes read locks without
// waiting. A reader that asks for the write lock gives up its share while it
// waits, so two upgrading readers cannot deadlock, and after WriteUnlock it
// still holds its read locks. Writers are preferred: once a writer waits, new
// readers wait behind it, and a finishing writer hands over to the next
// waiting writer before it lets readers in.
//
// The standard names (lock, try_lock, unlock; lock_shared, try_lock_shared,
// unlock_shared) make it usable with std::unique_lock, std::scoped_lock and
// std::shared_lock, and it carries clang's thread-safety annotations.
//
// Uncontended read locking is one compare-and-swap on a shared state word.
// A thread's nesting depths live in its own thread-local record of the locks
// it holds, kept only while it holds them: nothing about a thread outlives
// its hold on the lock or the thread itself, so a new thread that gets an
// old thread's id starts from zero.
#ifndef QMKUTILS_PLATFORM_READWRITELOCK_H_
#define QMKUTILS_PLATFORM_READWRITELOCK_H_

#include <atomic>
#include <cstdint>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/threadannotations.h"

namespace dp {

class QMK_EXPORT QMK_CAPABILITY("mutex") ReadWriteLock {
 public:
  ReadWriteLock() = default;
  ~ReadWriteLock() = default;
  ReadWriteLock(const ReadWriteLock&) = delete;
  ReadWriteLock& operator=(const ReadWriteLock&) = delete;

  void ReadLock() QMK_ACQUIRE_SHARED();
  bool TryReadLock() QMK_TRY_ACQUIRE_SHARED(true);
  void ReadUnlock() QMK_RELEASE_SHARED();
  void WriteLock() QMK_ACQUIRE();
  // Fails when any other thread holds the lock, and when the caller holds
  // only read locks.
  bool TryWriteLock() QMK_TRY_ACQUIRE(true);
  void WriteUnlock() QMK_RELEASE();

  void lock() QMK_ACQUIRE() { WriteLock(); }
  bool try_lock() QMK_TRY_ACQUIRE(true) { return TryWriteLock(); }
  void unlock() QMK_RELEASE() { WriteUnlock(); }
  void lock_shared() QMK_ACQUIRE_SHARED() { ReadLock(); }
  bool try_lock_shared() QMK_TRY_ACQUIRE_SHARED(true) { return TryReadLock(); }
  void unlock_shared() QMK_RELEASE_SHARED() { ReadUnlock(); }

 private:
  // Active readers, waiting readers, waiting writers and the active-writer
  // flag, packed so that each transition is one compare-and-swap.
  std::atomic<uint64_t> state_{0};
  Semaphore readerGate_;
  Semaphore writerGate_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_READWRITELOCK_H_
