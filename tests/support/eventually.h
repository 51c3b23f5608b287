// Bounded waiting for what a test expects to happen soon: the bound only
// keeps a broken program from hanging the test, it is no timing goal.
#ifndef QMKUTILS_TESTS_SUPPORT_EVENTUALLY_H_
#define QMKUTILS_TESTS_SUPPORT_EVENTUALLY_H_

#include <chrono>
#include <thread>

namespace qmk_test {

inline constexpr std::chrono::seconds kPatience{120};

// True once `condition()` holds; false when `patience` passes first.
template <class Condition>
bool Eventually(Condition condition, std::chrono::steady_clock::duration patience = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_EVENTUALLY_H_
