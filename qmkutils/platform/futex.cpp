#include "qmkutils/platform/internal/futex.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace dp::futex {

namespace {

uint32_t* Address(std::atomic<uint32_t>* word) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return reinterpret_cast<uint32_t*>(word);
}

}  // namespace

bool Wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so repeated
  // spurious wake-ups never stretch the total wait.
  long rc = syscall(SYS_futex, Address(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
                    deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  return !(rc == -1 && errno == ETIMEDOUT);
}

void Wake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, Address(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr, nullptr, 0);
}

timespec DeadlineAfter(unsigned milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nanos = now.tv_nsec + static_cast<long long>(milliseconds % 1000) * 1000000;
  now.tv_sec += milliseconds / 1000 + nanos / 1000000000;
  now.tv_nsec = nanos % 1000000000;
  return now;
}

}  // namespace dp::futex
