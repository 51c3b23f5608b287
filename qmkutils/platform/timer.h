// A high-resolution stopwatch and millisecond time values with text forms.
//
// `dp::Timer` measures elapsed time on the monotonic clock, whose counter
// runs in nanoseconds (frequency 1 000 000 000); milliseconds are computed
// with a 128-bit intermediate, so no counter value overflows. The counter
// starts at an arbitrary moment (system start), so "aligned to a day" means
// a whole multiple of 86 400 s of that counter, not local midnight.
//
// `dp::TimeVal` is a duration in milliseconds, written "H:M:S.ms" without any
// padding ("1:2:3.4" for 3 723 004 ms); a negative duration is written as '-'
// followed by its magnitude.
//
// `dp::LocalTimeVal` is a moment in milliseconds since 1970-01-01 00:00 UTC,
// written in local time. `GetString()` gives the padded form
// "%2d:%2d:%2d.%3d  %d %s %d"; the stream operator and `AppendTo` give the
// trace-log form: hour and minute unpadded, seconds in two and milliseconds
// in three zero-filled digits, two blanks, day of month, month name, year.
// Month names: Jan Feb Mar Apr May June July Aug Sept Oct Nov Dec. Negative
// moments count backwards from 1970 (the milliseconds are always 0..999).
// A moment the C library cannot convert to local time is written with every
// field zero ("0:0:00.000  0 Jan 1900"). The trace form is cheap: each thread
// keeps the broken-down local time of the last whole second it wrote and
// converts again only when the second changes. Local time follows the C
// library's time zone (TZ, applied by tzset), not the C locale, so no locale
// scope is needed; a time-zone change shows from the next second that a
// thread writes.
#ifndef QMKUTILS_PLATFORM_TIMER_H_
#define QMKUTILS_PLATFORM_TIMER_H_

#include <cstdint>
#include <iosfwd>
#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT Timer {
 public:
  explicit Timer(bool alignToDay = false);

  // Restarts the stopwatch and returns the counter value read (before any
  // alignment).
  std::int64_t Reset(bool alignToDay = false);

  // Milliseconds since the last reset.
  std::int64_t MSec() const;

  // Throw std::logic_error when the clock cannot be read.
  static std::int64_t GetRawValue();
  static std::int64_t GetRawFrequency();

  // Sleep the whole time, also across signal interruptions; always true.
  static bool SleepSeconds(unsigned seconds);
  static bool SleepMilliSeconds(unsigned milliseconds);

 private:
  std::int64_t start_;
};

class QMK_EXPORT TimeVal {
 public:
  explicit TimeVal(std::int64_t milliseconds) : milliseconds_(milliseconds) {}

  std::int64_t GetMilliseconds() const { return milliseconds_; }
  std::string GetString() const;

 private:
  std::int64_t milliseconds_;
};

class QMK_EXPORT LocalTimeVal {
 public:
  explicit LocalTimeVal(std::int64_t milliseconds) : milliseconds_(milliseconds) {}

  std::int64_t GetMilliseconds() const { return milliseconds_; }
  std::string GetString() const;

  // Appends exactly the bytes the stream operator writes.
  void AppendTo(std::string* out) const;

 private:
  std::int64_t milliseconds_;
};

QMK_EXPORT std::ostream& operator<<(std::ostream& os, const TimeVal& duration);
QMK_EXPORT std::ostream& operator<<(std::ostream& os, const LocalTimeVal& time);

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_TIMER_H_
