#include "qmkutils/platform/readwritelock.h"

#include <algorithm>
#include <cstdlib>
#include <new>

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

namespace {

// How deeply the calling thread holds one lock.
struct HeldLock {
  const ReadWriteLock* lock;
  unsigned readDepth;
  unsigned writeDepth;
};

// The locks the calling thread holds: a handful at most, so a linear search
// beats any index. Trivially destructible, so exit handlers that run after
// the thread's thread_local destructors can still take locks; the records
// move to the heap only while a thread holds more than fit inline, and back
// when it holds none.
struct HeldLocks {
  static constexpr unsigned kInline = 8;
  HeldLock inlineRecords[kInline];
  HeldLock* records;
  unsigned count;
  unsigned capacity;
};

thread_local HeldLocks t_heldLocks;

HeldLock* Records() {
  if (t_heldLocks.records == nullptr) {
    t_heldLocks.records = t_heldLocks.inlineRecords;
    t_heldLocks.capacity = HeldLocks::kInline;
  }
  return t_heldLocks.records;
}

// The calling thread's record for `lock`; null when it does not hold it.
HeldLock* FindRecord(const ReadWriteLock* lock) {
  HeldLock* records = Records();
  for (unsigned i = 0; i < t_heldLocks.count; ++i) {
    if (records[i].lock == lock) return &records[i];
  }
  return nullptr;
}

HeldLock& AddRecord(const ReadWriteLock* lock) {
  HeldLock* records = Records();
  if (t_heldLocks.count == t_heldLocks.capacity) {
    const unsigned capacity = t_heldLocks.capacity * 2;
    auto* grown = static_cast<HeldLock*>(malloc(capacity * sizeof(HeldLock)));
    if (grown == nullptr) throw std::bad_alloc();
    std::copy_n(records, t_heldLocks.count, grown);
    if (records != t_heldLocks.inlineRecords) free(records);
    t_heldLocks.records = records = grown;
    t_heldLocks.capacity = capacity;
  }
  return records[t_heldLocks.count++] = HeldLock{lock, 0, 0};
}

// Drops the record of a lock the thread no longer holds at all.
void Forget(HeldLock* record) {
  *record = t_heldLocks.records[--t_heldLocks.count];
  if (t_heldLocks.count == 0 && t_heldLocks.records != t_heldLocks.inlineRecords) {
    free(t_heldLocks.records);
    t_heldLocks.records = t_heldLocks.inlineRecords;
    t_heldLocks.capacity = HeldLocks::kInline;
  }
}

}  // namespace

void ReadWriteLock::ReadLock() {
  if (HeldLock* record = FindRecord(this)) {
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
  AddRecord(this).readDepth = 1;
}

bool ReadWriteLock::TryReadLock() {
  if (HeldLock* record = FindRecord(this)) {
    ++record->readDepth;
    return true;
  }
  uint64_t state = state_.load(std::memory_order_relaxed);
  do {
    if ((state & kWriterActive) != 0 || Field(state, kWaitingWritersShift) > 0) return false;
  } while (!state_.compare_exchange_weak(state, state + One(kActiveReadersShift),
                                         std::memory_order_acquire, std::memory_order_relaxed));
  AddRecord(this).readDepth = 1;
  return true;
}

void ReadWriteLock::ReadUnlock() {
  HeldLock* record = FindRecord(this);
  if (record == nullptr || record->readDepth == 0) return;
  if (--record->readDepth > 0 || record->writeDepth > 0) return;
  Forget(record);
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
  HeldLock* record = FindRecord(this);
  if (record != nullptr && record->writeDepth > 0) {
    ++record->writeDepth;
    return;
  }
  // A reader gives up its share while it waits, so that two readers who both
  // upgrade do not wait for each other.
  const bool upgrading = record != nullptr;
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
  (upgrading ? *record : AddRecord(this)).writeDepth = 1;
}

bool ReadWriteLock::TryWriteLock() {
  HeldLock* record = FindRecord(this);
  if (record != nullptr && record->writeDepth > 0) {
    ++record->writeDepth;
    return true;
  }
  // A caller holding only read locks counts among the active readers, so it
  // fails here.
  uint64_t state = state_.load(std::memory_order_relaxed);
  do {
    if (Field(state, kActiveReadersShift) > 0 || (state & kWriterActive) != 0) return false;
  } while (!state_.compare_exchange_weak(state, state | kWriterActive, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  AddRecord(this).writeDepth = 1;
  return true;
}

void ReadWriteLock::WriteUnlock() {
  HeldLock* record = FindRecord(this);
  if (record == nullptr || record->writeDepth == 0) return;
  if (--record->writeDepth > 0) return;
  const bool stillReading = record->readDepth > 0;
  if (!stillReading) Forget(record);
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
