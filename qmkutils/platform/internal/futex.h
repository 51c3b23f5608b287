// Futex primitives for the library's own locks. Internal; not installed.
//
// A futex word is a std::atomic<uint32_t>; waiting sleeps only while the word
// still holds the expected value, so a wake between the caller's check and
// the sleep is never lost. Waits are private to the process.
#ifndef QMKUTILS_PLATFORM_INTERNAL_FUTEX_H_
#define QMKUTILS_PLATFORM_INTERNAL_FUTEX_H_

#include <time.h>

#include <atomic>
#include <cstdint>

namespace dp::futex {

// Sleeps while `*word == expected`, until woken or `deadline` (CLOCK_MONOTONIC,
// absolute; null waits without limit) passes. Returns false only on time-out;
// spurious returns are possible, so callers re-check their condition.
bool Wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline = nullptr);

// Wakes up to `count` threads sleeping on `word`.
void Wake(std::atomic<uint32_t>* word, int count);

// The CLOCK_MONOTONIC moment `milliseconds` from now.
timespec DeadlineAfter(unsigned milliseconds);

// One pause instruction: tells the core that the caller is spinning.
inline void CpuRelax() { __builtin_ia32_pause(); }

}  // namespace dp::futex

#endif  // QMKUTILS_PLATFORM_INTERNAL_FUTEX_H_
