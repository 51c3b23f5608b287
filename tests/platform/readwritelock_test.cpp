#include "qmkutils/platform/readwritelock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits (bounded) until `condition` holds; the conditions here become true
// within microseconds, the bound only guards against a hang.
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 20000 && !condition(); ++i) std::this_thread::sleep_for(1ms);
  return condition();
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

  std::atomic<bool> otherReading{false};
  std::atomic<bool> releaseOther{false};
  std::atomic<bool> otherLeft{false};
  std::thread other([&] {
    lock.ReadLock();
    otherReading = true;
    while (!releaseOther) std::this_thread::yield();
    otherLeft = true;
    lock.ReadUnlock();
  });
  ASSERT_TRUE(Eventually([&] { return otherReading.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(20ms);
    releaseOther = true;
  });
  lock.WriteLock();
  EXPECT_TRUE(otherLeft);
  releaser.join();
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
  std::atomic<bool> readerDone{false};
  std::thread reader([&] {
    lock.ReadLock();
    EXPECT_TRUE(written);  // the writer went first
    lock.ReadUnlock();
    readerDone = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(readerDone);
  lock.ReadUnlock();
  writer.join();
  reader.join();
  EXPECT_TRUE(readerDone);
}

TEST(ReadWriteLockRace, ReadersNeverSeeAHalfWrite) {
  dp::ReadWriteLock lock;
  long first = 0;
  long second = 0;
  long writes = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) {
        if ((i + t) % 10 == 0) {
          // Writers: plain, nested, and upgrading from a read lock.
          if (t % 3 == 0) lock.ReadLock();
          lock.WriteLock();
          if (t % 2 == 0) lock.WriteLock();
          ++first;
          ++writes;
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
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(first, writes);
  EXPECT_EQ(second, writes);
  EXPECT_EQ(writes, 8 * 500);
}

}  // namespace
