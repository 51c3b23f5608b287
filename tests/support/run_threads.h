// Starts threads together, so that what they do really overlaps.
#ifndef QMKUTILS_TESTS_SUPPORT_RUN_THREADS_H_
#define QMKUTILS_TESTS_SUPPORT_RUN_THREADS_H_

#include <latch>
#include <thread>
#include <vector>

namespace qmk_test {

// Runs `body(index)` for each index below `count` on a thread of its own,
// all released at once, and returns when every one has ended.
template <class Body>
void RunThreads(int count, Body body) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&start, &body, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_RUN_THREADS_H_
