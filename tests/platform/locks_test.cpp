#include "qmkutils/platform/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

template <class Body>
void RunThreads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
  for (auto& thread : threads) thread.join();
}

template <class Action>
std::string RuntimeErrorText(Action action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(SpinLock, IsReentrantAndOwnedByOneThread) {
  dp::SpinLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());
  lock.Lock();
  std::thread([&] { EXPECT_FALSE(lock.TryLock()); }).join();
  lock.Unlock();
  lock.Unlock();
  std::thread([&] {
    lock.Unlock();  // not the owner: ignored
    EXPECT_FALSE(lock.TryLock());
  }).join();
  lock.Unlock();
  std::thread([&] {
    EXPECT_TRUE(lock.TryLock());
    lock.Unlock();
  }).join();
}

TEST(SpinLockRace, NestedLockingCountsEveryIncrement) {
  // Spin count 0 sends every contended Lock to sleep; 500 mostly spins.
  for (int spinCount : {0, 500}) {
    dp::SpinLock lock(spinCount);
    long counter = 0;
    RunThreads(8, [&](int) {
      for (int i = 0; i < 20000; ++i) {
        lock.Lock();
        lock.Lock();
        ++counter;
        lock.Unlock();
        ++counter;
        lock.Unlock();
      }
    });
    EXPECT_EQ(counter, 8 * 20000 * 2) << "spin count " << spinCount;
  }
}

TEST(RecursiveLock, ReentrantOwnedAndRobust) {
  dp::RecursiveLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());
  std::thread([&] {
    EXPECT_FALSE(lock.TryLock());
#ifndef __SANITIZE_THREAD__  // deliberate misuse, which ThreadSanitizer reports
    EXPECT_EQ(RuntimeErrorText([&] { lock.Unlock(); }), "Error unlocking recursivelock");
#endif
  }).join();
  lock.Unlock();
  lock.Unlock();

#ifndef __SANITIZE_THREAD__
  // A thread that ends while holding the lock abandons it to the next one.
  std::thread([&] { lock.Lock(); }).join();
  lock.Lock();
  lock.Unlock();
#endif
}

TEST(Semaphore, CountsWithinItsMaximum) {
  dp::Semaphore semaphore;
  EXPECT_FALSE(semaphore.Poll());
  EXPECT_FALSE(semaphore.Wait(10));
  semaphore.Signal(0);
  EXPECT_FALSE(semaphore.Poll());
  semaphore.Signal(3);
  semaphore.Signal();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(semaphore.Poll());
  EXPECT_FALSE(semaphore.Poll());

  // Passing the maximum releases nothing at all.
  semaphore.Signal(0x7FFFFFFE);
  EXPECT_EQ(RuntimeErrorText([&] { semaphore.Signal(2); }), "Error signaling semaphore");
  semaphore.Signal(1);
  EXPECT_EQ(RuntimeErrorText([&] { semaphore.Signal(); }), "Error signaling semaphore");
  EXPECT_EQ(RuntimeErrorText([] { dp::Semaphore tooMany(0x80000000u); }),
            "Cannot initialize semaphore.");
}

TEST(Semaphore, ZeroAndInfiniteLimitsWaitForACount) {
  for (unsigned limit : {0u, 0xFFFFFFFFu}) {
    dp::Semaphore semaphore;
    std::thread signaller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      semaphore.Signal();
    });
    EXPECT_TRUE(semaphore.Wait(limit));
    signaller.join();
  }
}

TEST(WaitLock, IsAGateAnyThreadMayOpen) {
  dp::WaitLock gate;
  EXPECT_EQ(RuntimeErrorText([&] { gate.Unlock(); }), "Error signaling semaphore");
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
  constexpr int kProducers = 4;
  constexpr int kConsumers = 4;
  constexpr int kPerProducer = 20000;
  int expected = 0;
  for (int i = 0; i < kPerProducer; ++i) expected += i % 3 == 0 ? 2 : 1;
  expected *= kProducers;
  std::atomic<int> taken{0};
  RunThreads(kProducers + kConsumers, [&](int index) {
    if (index < kProducers) {
      for (int i = 0; i < kPerProducer; ++i) semaphore.Signal(i % 3 == 0 ? 2 : 1);
    } else {
      // Mix blocking waits, short time-outs and polls.
      while (taken.load() < expected) {
        bool got = index % 2 == 0 ? semaphore.Wait(1) : semaphore.Poll();
        if (got) ++taken;
      }
    }
  });
  EXPECT_FALSE(semaphore.Poll());
  EXPECT_EQ(taken.load(), expected);
}

TEST(WaitLockRace, ExcludesLikeAMutex) {
  dp::WaitLock gate;
  long counter = 0;
  RunThreads(8, [&](int) {
    for (int i = 0; i < 10000; ++i) {
      gate.Lock();
      ++counter;
      gate.Unlock();
    }
  });
  EXPECT_EQ(counter, 8 * 10000);
}

}  // namespace
