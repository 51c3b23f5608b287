// How long until the next tick of a periodic alarm.
//
// `du::IntervalAlarm` is a `dp::Timer` (monotonic, milliseconds since the
// alarm was made) with the time of the next tick and the interval. It rings
// nothing: callers ask `TimeTillNextAlarm()` and sleep that long. A tick
// that is due moves the next one on by whole intervals, so missed ticks are
// not counted and never pile up. An interval of 0 or less makes the alarm
// inactive.
//
// Not synchronised: one alarm belongs to one thread at a time.
#ifndef QMKUTILS_UTILITIES_INTERVALALARM_H_
#define QMKUTILS_UTILITIES_INTERVALALARM_H_

#include <cstdint>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/timer.h"

namespace du {

class QMK_EXPORT IntervalAlarm : public dp::Timer {
 public:
  explicit IntervalAlarm(std::int64_t interval = 0);

  // Sets the interval and the first tick one interval from now; returns the
  // current time, or 0 when the alarm became inactive.
  std::int64_t SetAlarmInterval(std::int64_t interval);
  // As above with the first tick at `first` (on this alarm's clock), moved
  // on by whole intervals until it lies in the future.
  std::int64_t SetAlarmInterval(std::int64_t interval, std::int64_t first);

  // −1 when inactive; the milliseconds until the next tick; 0 when a tick is
  // due, the next tick having moved into the future.
  std::int64_t TimeTillNextAlarm();
  bool IsActive() const { return interval_ > 0; }
  // This alarm's clock.
  std::int64_t TimeNow() const { return MSec(); }

 private:
  // Moves the next tick on by whole intervals until it lies after `now`.
  void SkipPast(std::int64_t now);

  std::int64_t nextAlarm_ = 0;
  std::int64_t interval_ = 0;
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_INTERVALALARM_H_
