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
// Uncontended read locking is one compare-and-swap on a shared state word;
// the thread's nesting depths live in a per-thread record found without
// locking.
#ifndef QMKUTILS_PLATFORM_READWRITELOCK_H_
#define QMKUTILS_PLATFORM_READWRITELOCK_H_

#include <atomic>
#include <cstdint>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/locks.h"

namespace dp {

class QMK_EXPORT ReadWriteLock {
 public:
  ReadWriteLock();
  ~ReadWriteLock();
  ReadWriteLock(const ReadWriteLock&) = delete;
  ReadWriteLock& operator=(const ReadWriteLock&) = delete;

  void ReadLock();
  bool TryReadLock();
  void ReadUnlock();
  void WriteLock();
  // Fails when any other thread holds the lock, and when the caller holds
  // only read locks.
  bool TryWriteLock();
  void WriteUnlock();

 private:
  struct ThreadRecord;
  ThreadRecord* FindOrAddRecord();

  // Records are pushed once per thread and freed with the lock.
  std::atomic<ThreadRecord*> threadRecords_{nullptr};
  // Active readers, waiting readers, waiting writers and the active-writer
  // flag, packed so that each transition is one compare-and-swap.
  std::atomic<uint64_t> state_{0};
  Semaphore readerGate_;
  Semaphore writerGate_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_READWRITELOCK_H_
