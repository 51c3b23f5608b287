#include "qmkutils/platform/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "qmkutils/platform/readwritelock.h"
#include "support/eventually.h"
#include "support/run_threads.h"
#include "support/sanitizers.h"

namespace {

using namespace std::chrono_literals;
using qmk_test::Eventually;
using qmk_test::RunThreads;

template <class Lock>
void ExpectReentrantAndOwned(Lock& lock) {
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());
  std::thread([&] { EXPECT_FALSE(lock.TryLock()); }).join();
  lock.Unlock();
  lock.Unlock();
  std::thread([&] {
    EXPECT_TRUE(lock.TryLock());
    lock.Unlock();
  }).join();
}

TEST(SpinLock, IsReentrantAndIgnoresAnUnlockByAnotherThread) {
  dp::SpinLock lock;
  ExpectReentrantAndOwned(lock);
  lock.Lock();
  std::thread([&] {
    lock.Unlock();
    EXPECT_FALSE(lock.TryLock());
  }).join();
  lock.Unlock();
}

// Counts under `lock` on many threads; an inner Unlock of a nested lock
// must not let anybody in.
template <class Lock>
void ExpectExclusion(Lock& lock, bool nested) {
  long counter = 0;
  RunThreads(8, [&](int) {
    for (int i = 0; i < 20000; ++i) {
      lock.Lock();
      if (nested) lock.Lock();
      ++counter;
      if (nested) lock.Unlock();
      ++counter;
      lock.Unlock();
    }
  });
  EXPECT_EQ(counter, 8 * 20000 * 2);
}

TEST(LockRace, SpinLocksAndWaitLocksExclude) {
  // Spin count 0 sends every contended Lock to sleep; 500 mostly spins.
  dp::SpinLock sleeping(0), spinning(500);
  ExpectExclusion(sleeping, true);
  ExpectExclusion(spinning, true);
  dp::WaitLock gate;
  ExpectExclusion(gate, false);
}

TEST(RecursiveLock, ReentrantOwnedAndRobust) {
  dp::RecursiveLock lock;
  ExpectReentrantAndOwned(lock);
#ifndef QMK_TEST_THREAD_SANITIZER  // deliberate misuse, which ThreadSanitizer reports
  lock.Lock();
  std::thread([&] { EXPECT_THROW(lock.Unlock(), std::runtime_error); }).join();
  lock.Unlock();
  // A thread that ends while holding the lock abandons it to the next one.
  std::thread([&] { lock.Lock(); }).join();
  lock.Lock();
  lock.Unlock();
#endif
}

TEST(Semaphore, CountsWithinItsMaximumAndWaitsWithoutLimit) {
  dp::Semaphore semaphore;
  EXPECT_FALSE(semaphore.Poll());
  EXPECT_FALSE(semaphore.Wait(10));
  semaphore.Signal(0);
  EXPECT_FALSE(semaphore.Poll());

  // Limits 0 and 0xFFFFFFFF wait for as long as it takes.
  for (unsigned limit : {0u, 0xFFFFFFFFu}) {
    std::thread signaller([&] {
      std::this_thread::sleep_for(20ms);
      semaphore.Signal();
    });
    EXPECT_TRUE(semaphore.Wait(limit));
    signaller.join();
  }

  // Passing the maximum releases nothing at all.
  semaphore.Signal(0x7FFFFFFE);
  EXPECT_THROW(semaphore.Signal(2), std::runtime_error);
  semaphore.Signal(1);
  EXPECT_THROW(semaphore.Signal(), std::runtime_error);
  EXPECT_THROW(dp::Semaphore(0x80000000u), std::runtime_error);
}

TEST(WaitLock, IsAGateAnyThreadMayOpen) {
  dp::WaitLock gate;
  EXPECT_THROW(gate.Unlock(), std::runtime_error);
  gate.Lock();
  EXPECT_FALSE(gate.TryLock());
  std::atomic<bool> passed{false};
  std::thread waiter([&] {
    gate.Lock();
    passed = true;
  });
  std::thread([&] { gate.Unlock(); }).join();
  waiter.join();
  EXPECT_TRUE(passed);
}

TEST(SemaphoreRace, EveryCountIsTakenExactlyOnce) {
  dp::Semaphore semaphore;
  constexpr int kProducers = 4, kPerProducer = 20000;
  // Every third signal releases two counts.
  constexpr int kExpected = kProducers * (kPerProducer + (kPerProducer + 2) / 3);
  std::atomic<int> taken{0};
  RunThreads(2 * kProducers, [&](int index) {
    if (index < kProducers) {
      for (int i = 0; i < kPerProducer; ++i) semaphore.Signal(i % 3 == 0 ? 2 : 1);
    } else {
      // Mix short time-outs and polls.
      while (taken.load() < kExpected) {
        if (index % 2 == 0 ? semaphore.Wait(1) : semaphore.Poll()) ++taken;
      }
    }
  });
  EXPECT_FALSE(semaphore.Poll());
  EXPECT_EQ(taken.load(), kExpected);
}

TEST(ReadWriteLock, WriterMayReadAndUnmatchedUnlocksAreIgnored) {
  dp::ReadWriteLock lock;
  lock.ReadUnlock();
  lock.WriteUnlock();
  lock.WriteLock();
  lock.ReadLock();  // no wait: the writer already excludes everybody
  EXPECT_TRUE(lock.TryReadLock());
  EXPECT_TRUE(lock.TryWriteLock());
  std::thread([&] {
    EXPECT_FALSE(lock.TryReadLock());
    EXPECT_FALSE(lock.TryWriteLock());
  }).join();
  lock.WriteUnlock();
  lock.ReadUnlock();
  lock.ReadUnlock();
  lock.WriteUnlock();
  std::thread([&] {
    EXPECT_TRUE(lock.TryWriteLock());
    lock.WriteUnlock();
  }).join();
}

TEST(ReadWriteLock, UpgradeWaitsForOtherReadersAndKeepsTheReadLock) {
  dp::ReadWriteLock lock;
  lock.ReadLock();
  EXPECT_FALSE(lock.TryWriteLock());  // a reader cannot try-upgrade

  std::atomic<bool> otherReading{false}, otherLeft{false};
  std::thread other([&] {
    lock.ReadLock();
    otherReading = true;
    std::this_thread::sleep_for(20ms);
    otherLeft = true;
    lock.ReadUnlock();
  });
  ASSERT_TRUE(Eventually([&] { return otherReading.load(); }));
  lock.WriteLock();
  EXPECT_TRUE(otherLeft);
  other.join();
  lock.WriteUnlock();
  // Still a reader: writers are kept out, readers are not.
  std::thread([&] {
    EXPECT_FALSE(lock.TryWriteLock());
    EXPECT_TRUE(lock.TryReadLock());
    lock.ReadUnlock();
  }).join();
  lock.ReadUnlock();
}

TEST(ReadWriteLock, WaitingWriterHoldsBackNewReaders) {
  dp::ReadWriteLock lock;
  lock.ReadLock();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    lock.WriteLock();
    written = true;
    lock.WriteUnlock();
  });
  // Once the writer waits, a new reader's TryReadLock fails.
  std::thread([&] {
    EXPECT_TRUE(Eventually([&] {
      if (!lock.TryReadLock()) return true;
      lock.ReadUnlock();
      return false;
    }));
  }).join();
  std::thread reader([&] {
    lock.ReadLock();
    EXPECT_TRUE(written);  // the writer went first
    lock.ReadUnlock();
  });
  std::this_thread::sleep_for(20ms);  // time for the reader to get in, if it could
  lock.ReadUnlock();
  writer.join();
  reader.join();
}

TEST(ReadWriteLockRace, ReadersNeverSeeAHalfWrite) {
  dp::ReadWriteLock lock;
  long first = 0, second = 0;
  RunThreads(8, [&](int t) {
    for (int i = 0; i < 5000; ++i) {
      if ((i + t) % 10 == 0) {
        // Writers: plain, nested, and upgrading from a read lock.
        if (t % 3 == 0) lock.ReadLock();
        lock.WriteLock();
        if (t % 2 == 0) lock.WriteLock();
        ++first;
        ++second;
        if (t % 2 == 0) lock.WriteUnlock();
        lock.WriteUnlock();
        if (t % 3 == 0) lock.ReadUnlock();
      } else {
        lock.ReadLock();
        lock.ReadLock();
        EXPECT_EQ(first, second);
        lock.ReadUnlock();
        lock.ReadUnlock();
      }
    }
  });
  EXPECT_EQ(first, 8 * 500);
  EXPECT_EQ(second, 8 * 500);
}

}  // namespace
