#include "qmkutils/utilities/idgenerator.h"

#include <atomic>
#include <ctime>

#include "qmkutils/utilities/internal/idgeneratorclock.h"

namespace du {
namespace {

std::int64_t CalendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::atomic<id_generator::SecondsClock> s_clock{&CalendarSeconds};

// A lagged Fibonacci generator of 55 words modulo 10^8, lags 24 and 55.
class LaggedFibonacci {
 public:
  explicit LaggedFibonacci(std::int64_t seed) {
    words_[0] = static_cast<std::uint32_t>(((seed % kModulus) + kModulus) % kModulus);
    for (int i = 1; i < kWords; ++i) {
      words_[i] = static_cast<std::uint32_t>((std::uint64_t{words_[i - 1]} * 31 + 1) % kModulus);
    }
  }

  std::uint32_t Next32() {
    const std::uint32_t high = Draw();
    return (high << 16) | (Draw() & 0xFFFF);
  }

 private:
  static constexpr int kWords = 55;
  static constexpr std::uint32_t kModulus = 100000000;

  std::uint32_t Draw() {
    position_ = (position_ + 1) % kWords;
    words_[position_] =
        (words_[(position_ + 54) % kWords] + words_[(position_ + 23) % kWords]) % kModulus;
    return words_[position_];
  }

  std::uint32_t words_[kWords];
  int position_ = 0;
};

}  // namespace

void id_generator::SetClockForTesting(SecondsClock clock) {
  s_clock.store(clock != nullptr ? clock : &CalendarSeconds, std::memory_order_relaxed);
}

void IdGenerator::Activate(unsigned bits, unsigned highBits) {
  highBits_ = highBits;
  modulus_ = bits >= 16 && bits <= 31 ? std::uint32_t{1} << bits : 0;
  LaggedFibonacci random(s_clock.load(std::memory_order_relaxed)());
  // A step below the limit would make consecutive ids easy to guess.
  const std::uint32_t limit = modulus_ != 0 ? modulus_ / 8 : 0x1FFFFFFF;
  std::uint32_t r = 0;
  while (r < limit) r = random.Next32() ^ (r * 2);
  step_ = r | 1;
  current_ = modulus_ != 0 ? step_ % modulus_ : step_;
}

void IdGenerator::Inactivate() { step_ = current_ = highBits_ = modulus_ = 0; }

// Every modulus divides 2^32, so 32-bit wrap-around before the reduction
// leaves the residue intact.
void IdGenerator::Advance(std::uint32_t by) {
  current_ += by;
  if (modulus_ != 0) current_ %= modulus_;
  if (current_ == 0) step_ = 0;
}

unsigned IdGenerator::operator++() {
  Advance(step_);
  return *this;
}

unsigned IdGenerator::operator++(int) {
  const unsigned id = *this;
  if (id != 0) Advance(step_);
  return id;
}

unsigned IdGenerator::operator--() {
  Advance(0U - step_);
  return *this;
}

unsigned IdGenerator::operator--(int) {
  const unsigned id = *this;
  if (id != 0) Advance(0U - step_);
  return id;
}

IdGenerator::operator unsigned int() const { return current_ == 0 ? 0 : highBits_ | current_; }

}  // namespace du
