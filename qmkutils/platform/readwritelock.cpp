#include "qmkutils/platform/readwritelock.h"

#include <pthread.h>

namespace dp {

namespace {

// Layout of the state word: four 16-bit fields.
constexpr int kActiveReadersShift = 0;
constexpr int kWaitingReadersShift = 16;
constexpr int kWaitingWritersShift = 32;
constexpr uint64_t kWriterActive = uint64_t{1} << 48;
constexpr uint64_t kFieldMask = 0xFFFF;

constexpr uint64_t One(int shift) { return uint64_t{1} << shift; }
constexpr uint64_t Field(uint64_t state, int shift) { return (state >> shift) & kFieldMask; }

}  // namespace

struct ReadWriteLock::ThreadRecord {
  pthread_t thread;
  unsigned readDepth = 0;
  unsigned writeDepth = 0;
  ThreadRecord* next = nullptr;
};

ReadWriteLock::ReadWriteLock() = default;

ReadWriteLock::~ReadWriteLock() {
  ThreadRecord* record = threadRecords_.load(std::memory_order_acquire);
  while (record != nullptr) {
    ThreadRecord* next = record->next;
    delete record;
    record = next;
  }
}

ReadWriteLock::ThreadRecord* ReadWriteLock::FindOrAddRecord() {
  const pthread_t self = pthread_self();
  ThreadRecord* head = threadRecords_.load(std::memory_order_acquire);
  for (ThreadRecord* record = head; record != nullptr; record = record->next) {
    if (pthread_equal(record->thread, self)) return record;
  }
  // Only this thread adds a record for itself, so a record pushed by another
  // thread meanwhile cannot be ours: the search need not be repeated.
  auto* mine = new ThreadRecord{self};
  mine->next = head;
  while (!threadRecords_.compare_exchange_weak(mine->next, mine, std::memory_order_release,
                                               std::memory_order_acquire)) {
  }
  return mine;
}

void ReadWriteLock::ReadLock() {
  ThreadRecord* record = FindOrAddRecord();
  if (record->readDepth > 0 || record->writeDepth > 0) {
    ++record->readDepth;
    return;
  }
  uint64_t state = state_.load(std::memory_order_relaxed);
  bool wait;
  uint64_t next;
  do {
    wait = (state & kWriterActive) != 0 || Field(state, kWaitingWritersShift) > 0;
    next = state + One(wait ? kWaitingReadersShift : kActiveReadersShift);
  } while (!state_.compare_exchange_weak(state, next, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  // A writer that lets waiting readers in counts them as active first.
  if (wait) readerGate_.Wait(0);
  ++record->readDepth;
}

bool ReadWriteLock::TryReadLock() {
  ThreadRecord* record = FindOrAddRecord();
  if (record->readDepth > 0 || record->writeDepth > 0) {
    ++record->readDepth;
    return true;
  }
  uint64_t state = state_.load(std::memory_order_relaxed);
  do {
    if ((state & kWriterActive) != 0 || Field(state, kWaitingWritersShift) > 0) return false;
  } while (!state_.compare_exchange_weak(state, state + One(kActiveReadersShift),
                                         std::memory_order_acquire, std::memory_order_relaxed));
  ++record->readDepth;
  return true;
}

void ReadWriteLock::ReadUnlock() {
  ThreadRecord* record = FindOrAddRecord();
  if (record->readDepth == 0) return;
  if (--record->readDepth > 0 || record->writeDepth > 0) return;
  uint64_t state = state_.load(std::memory_order_relaxed);
  bool handOver;
  uint64_t next;
  do {
    next = state - One(kActiveReadersShift);
    handOver = Field(next, kWaitingWritersShift) > 0 && Field(next, kActiveReadersShift) == 0;
    if (handOver) next = (next - One(kWaitingWritersShift)) | kWriterActive;
  } while (!state_.compare_exchange_weak(state, next, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  if (handOver) writerGate_.Signal();
}

void ReadWriteLock::WriteLock() {
  ThreadRecord* record = FindOrAddRecord();
  if (record->writeDepth > 0) {
    ++record->writeDepth;
    return;
  }
  // A reader gives up its share while it waits, so that two readers who both
  // upgrade do not wait for each other.
  const bool upgrading = record->readDepth > 0;
  uint64_t state = state_.load(std::memory_order_relaxed);
  bool wait;
  uint64_t next;
  do {
    next = upgrading ? state - One(kActiveReadersShift) : state;
    wait = Field(next, kActiveReadersShift) > 0 || (next & kWriterActive) != 0;
    next = wait ? next + One(kWaitingWritersShift) : next | kWriterActive;
  } while (!state_.compare_exchange_weak(state, next, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  // Whoever hands the lock over sets the active-writer flag for us.
  if (wait) writerGate_.Wait(0);
  ++record->writeDepth;
}

bool ReadWriteLock::TryWriteLock() {
  ThreadRecord* record = FindOrAddRecord();
  if (record->writeDepth > 0) {
    ++record->writeDepth;
    return true;
  }
  uint64_t state = state_.load(std::memory_order_relaxed);
  do {
    if (Field(state, kActiveReadersShift) > 0 || (state & kWriterActive) != 0) return false;
  } while (!state_.compare_exchange_weak(state, state | kWriterActive, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  ++record->writeDepth;
  return true;
}

void ReadWriteLock::WriteUnlock() {
  ThreadRecord* record = FindOrAddRecord();
  if (record->writeDepth == 0) return;
  if (--record->writeDepth > 0) return;
  const bool stillReading = record->readDepth > 0;
  uint64_t state = state_.load(std::memory_order_relaxed);
  bool toWriter;
  uint64_t readersReleased;
  uint64_t next;
  do {
    toWriter = Field(state, kWaitingWritersShift) > 0;
    readersReleased = 0;
    if (toWriter) {
      // The write lock passes straight on; a downgrading writer queues as a
      // reader behind it.
      next = state - One(kWaitingWritersShift);
      if (stillReading) next += One(kWaitingReadersShift);
    } else {
      readersReleased = Field(state, kWaitingReadersShift);
      next = state & ~kWriterActive & ~(kFieldMask << kWaitingReadersShift);
      next += (readersReleased + (stillReading ? 1 : 0)) << kActiveReadersShift;
    }
  } while (!state_.compare_exchange_weak(state, next, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  if (toWriter) writerGate_.Signal();
  if (readersReleased > 0) readerGate_.Signal(static_cast<unsigned>(readersReleased));
  if (toWriter && stillReading) readerGate_.Wait(0);
}

}  // namespace dp
