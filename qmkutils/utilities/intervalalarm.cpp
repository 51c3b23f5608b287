#include "qmkutils/utilities/intervalalarm.h"

#include <cstdint>

namespace du {
namespace {

// Times near the ends of the range stay there instead of wrapping around.
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
  return sum;
}

}  // namespace

IntervalAlarm::IntervalAlarm(std::int64_t interval) { SetAlarmInterval(interval); }

std::int64_t IntervalAlarm::SetAlarmInterval(std::int64_t interval) {
  if (interval <= 0) {
    nextAlarm_ = interval_ = 0;
    return 0;
  }
  const std::int64_t now = TimeNow();
  interval_ = interval;
  nextAlarm_ = SaturatingAdd(now, interval);
  return now;
}

std::int64_t IntervalAlarm::SetAlarmInterval(std::int64_t interval, std::int64_t first) {
  if (interval <= 0) {
    nextAlarm_ = interval_ = 0;
    return 0;
  }
  const std::int64_t now = TimeNow();
  interval_ = interval;
  nextAlarm_ = first;
  SkipPast(now);
  return now;
}

std::int64_t IntervalAlarm::TimeTillNextAlarm() {
  if (!IsActive()) return -1;
  const std::int64_t now = TimeNow();
  if (nextAlarm_ > now) return nextAlarm_ - now;
  SkipPast(now);
  return 0;
}

// One step, however many ticks were missed: the first tick after `now` on
// the grid of the old one. The distance is exact in unsigned arithmetic.
void IntervalAlarm::SkipPast(std::int64_t now) {
  if (nextAlarm_ > now) return;
  const std::uint64_t behind =
      static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(nextAlarm_);
  const auto interval = static_cast<std::uint64_t>(interval_);
  nextAlarm_ = SaturatingAdd(now, static_cast<std::int64_t>(interval - behind % interval));
}

}  // namespace du
