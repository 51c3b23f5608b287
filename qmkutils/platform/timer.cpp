#include "qmkutils/platform/timer.h"

#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <stdexcept>

namespace dp {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::int64_t kMillisecondsPerSecond = 1'000;
constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr const char* kMonthNames[12] = {"Jan",  "Feb", "Mar",  "Apr", "May", "June",
                                         "July", "Aug", "Sept", "Oct", "Nov", "Dec"};
// "hh:mm:ss.mmm  dd Sept " plus a year of up to 11 characters fits easily.
constexpr std::size_t kTraceFormCapacity = 48;
// Room for the padded form even with every field at its widest int.
constexpr std::size_t kPaddedFormCapacity = 128;

struct Moment {
  std::int64_t second;
  int millisecond;  // 0..999, also before 1970
};

Moment SplitMoment(std::int64_t milliseconds) {
  std::int64_t second = milliseconds / kMillisecondsPerSecond;
  std::int64_t rest = milliseconds % kMillisecondsPerSecond;
  if (rest < 0) {
    rest += kMillisecondsPerSecond;
    --second;
  }
  return {second, static_cast<int>(rest)};
}

// Local-time offsets change on whole seconds only, so the broken-down time of
// one second serves every millisecond in it.
struct LastSecond {
  std::int64_t second;
  std::tm local;
  bool valid;
};
thread_local LastSecond t_lastSecond{};

const std::tm& LocalTimeOf(std::int64_t second) {
  LastSecond& last = t_lastSecond;
  if (!last.valid || last.second != second) {
    const auto clock = static_cast<std::time_t>(second);
    // The year is written as int, so tm_year + 1900 must fit one.
    if (localtime_r(&clock, &last.local) == nullptr || last.local.tm_year > INT_MAX - 1900) {
      last.local = std::tm{};
    }
    last.second = second;
    last.valid = true;
  }
  return last.local;
}

const char* MonthName(const std::tm& local) {
  return (local.tm_mon >= 0 && local.tm_mon < 12) ? kMonthNames[local.tm_mon] : "";
}

char* WriteUnsigned(char* out, std::uint64_t value) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* WriteSigned(char* out, std::int64_t value) {
  if (value >= 0) return WriteUnsigned(out, static_cast<std::uint64_t>(value));
  *out++ = '-';
  return WriteUnsigned(out, ~static_cast<std::uint64_t>(value) + 1);
}

char* WriteZeroFilled(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

char* WriteText(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

std::size_t FormatTraceForm(std::int64_t milliseconds, char* buffer) {
  const Moment moment = SplitMoment(milliseconds);
  const std::tm& local = LocalTimeOf(moment.second);
  char* out = buffer;
  out = WriteSigned(out, local.tm_hour);
  *out++ = ':';
  out = WriteSigned(out, local.tm_min);
  *out++ = ':';
  out = WriteZeroFilled(out, local.tm_sec, 2);
  *out++ = '.';
  out = WriteZeroFilled(out, moment.millisecond, 3);
  out = WriteText(out, "  ");
  out = WriteSigned(out, local.tm_mday);
  *out++ = ' ';
  out = WriteText(out, MonthName(local));
  *out++ = ' ';
  out = WriteSigned(out, local.tm_year + 1900);
  return static_cast<std::size_t>(out - buffer);
}

std::size_t FormatDuration(std::int64_t milliseconds, char* buffer) {
  char* out = buffer;
  std::uint64_t magnitude = static_cast<std::uint64_t>(milliseconds);
  if (milliseconds < 0) {
    *out++ = '-';
    magnitude = ~magnitude + 1;
  }
  out = WriteUnsigned(out, magnitude / 3'600'000);
  *out++ = ':';
  out = WriteUnsigned(out, magnitude / 60'000 % 60);
  *out++ = ':';
  out = WriteUnsigned(out, magnitude / 1'000 % 60);
  *out++ = '.';
  out = WriteUnsigned(out, magnitude % 1'000);
  return static_cast<std::size_t>(out - buffer);
}

bool SleepFor(std::int64_t seconds, std::int64_t nanoseconds) {
  timespec remaining{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
  return true;
}

}  // namespace

// The frequency is a constant of the clock, so there is nothing to cache.
Timer::Timer(bool alignToDay) : start_(0) { Reset(alignToDay); }

std::int64_t Timer::Reset(bool alignToDay) {
  const std::int64_t now = GetRawValue();
  start_ = now;
  if (alignToDay) {
    const std::int64_t day = GetRawFrequency() * kSecondsPerDay;
    std::int64_t intoDay = now % day;
    if (intoDay < 0) intoDay += day;
    start_ = now - intoDay;
  }
  return now;
}

std::int64_t Timer::MSec() const {
  const __int128 elapsed = static_cast<__int128>(GetRawValue()) - start_;
  return static_cast<std::int64_t>(elapsed * kMillisecondsPerSecond / GetRawFrequency());
}

std::int64_t Timer::GetRawValue() {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    throw std::logic_error("Could not get realtime clock value.");
  }
  return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

std::int64_t Timer::GetRawFrequency() { return kNanosecondsPerSecond; }

bool Timer::SleepSeconds(unsigned seconds) { return SleepFor(seconds, 0); }

bool Timer::SleepMilliSeconds(unsigned milliseconds) {
  return SleepFor(milliseconds / 1000, static_cast<std::int64_t>(milliseconds % 1000) * 1'000'000);
}

std::string TimeVal::GetString() const {
  char buffer[kTraceFormCapacity];
  return std::string(buffer, FormatDuration(milliseconds_, buffer));
}

std::ostream& operator<<(std::ostream& os, const TimeVal& duration) {
  char buffer[kTraceFormCapacity];
  return os.write(buffer,
                  static_cast<std::streamsize>(FormatDuration(duration.GetMilliseconds(), buffer)));
}

std::string LocalTimeVal::GetString() const {
  const Moment moment = SplitMoment(milliseconds_);
  const std::tm& local = LocalTimeOf(moment.second);
  char buffer[kPaddedFormCapacity];
  const int length = std::snprintf(buffer, sizeof buffer, "%2d:%2d:%2d.%3d  %d %s %d",
                                   local.tm_hour, local.tm_min, local.tm_sec, moment.millisecond,
                                   local.tm_mday, MonthName(local), local.tm_year + 1900);
  return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

void LocalTimeVal::AppendTo(std::string* out) const {
  char buffer[kTraceFormCapacity];
  out->append(buffer, FormatTraceForm(milliseconds_, buffer));
}

std::ostream& operator<<(std::ostream& os, const LocalTimeVal& time) {
  char buffer[kTraceFormCapacity];
  return os.write(buffer,
                  static_cast<std::streamsize>(FormatTraceForm(time.GetMilliseconds(), buffer)));
}

}  // namespace dp
