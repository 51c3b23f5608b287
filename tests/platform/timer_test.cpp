#include "qmkutils/platform/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

#include "support/scoped_environment.h"

namespace {

// Width and fill must not pad the text.
template <typename Value>
std::string Streamed(const Value& value) {
  return (std::ostringstream() << std::setw(40) << std::setfill('*') << value).str();
}

// Also proves that AppendTo appends.
std::string Appended(std::int64_t milliseconds) {
  std::string out = ">";
  dp::LocalTimeVal(milliseconds).AppendTo(&out);
  return out.substr(1);
}

using namespace std::chrono;

std::int64_t Utc(sys_days day, milliseconds time) {
  return (day + time).time_since_epoch().count();
}

TEST(Timer, MSecCountsAWholeSleep) {
  dp::Timer timer;
  const std::int64_t start = timer.MSec();
  dp::Timer::SleepMilliSeconds(3);
  EXPECT_GE(timer.MSec(), start + 3);
}

TEST(TimeVal, ElapsedFormIsUnpaddedLocalFormsFollowEverySecond) {
  EXPECT_EQ(dp::TimeVal(3'723'004).GetString(), "1:2:3.4");
  EXPECT_EQ(Streamed(dp::TimeVal(3'723'004)), "1:2:3.4");
  EXPECT_EQ(dp::TimeVal(360'059'999).GetString(), "100:0:59.999");
  EXPECT_EQ(dp::TimeVal(-3'723'004).GetString(), "-1:2:3.4");
  EXPECT_EQ(dp::TimeVal(std::numeric_limits<std::int64_t>::min()).GetString(),
            "-2562047788015:12:55.808");
  qmk_test::ScopedEnvironment utc;
  utc.Set("TZ", "UTC");
  const std::int64_t time = Utc(2021y / 3 / 4, 5h + 6min + 7s + 89ms);
  EXPECT_EQ(dp::LocalTimeVal(time).GetString(), " 5: 6: 7. 89  4 Mar 2021");
  EXPECT_EQ(Streamed(dp::LocalTimeVal(time)), "5:6:07.089  4 Mar 2021");
  EXPECT_EQ(Appended(time), "5:6:07.089  4 Mar 2021");
  const char* names[] = {"Jan",  "Feb", "Mar",  "Apr", "May", "June",
                         "July", "Aug", "Sept", "Oct", "Nov", "Dec"};
  for (unsigned month = 1; month <= 12; ++month) {
    EXPECT_EQ(Appended(Utc(2022y / month / 15, 12h + 30min)),
              "12:30:00.000  15 " + std::string(names[month - 1]) + " 2022");
  }
  // Each thread caches its last second: every change must show.
  const std::int64_t last = Utc(1999y / 12 / 31, 23h + 59min + 59s + 999ms);
  EXPECT_EQ(Appended(last - 999), "23:59:59.000  31 Dec 1999");
  EXPECT_EQ(Appended(last), "23:59:59.999  31 Dec 1999");
  EXPECT_EQ(Appended(last + 1), "0:0:00.000  1 Jan 2000");
  EXPECT_EQ(dp::LocalTimeVal(last + 1).GetString(), " 0: 0: 0.  0  1 Jan 2000");
  // Before 1970 the milliseconds still count forwards within their second.
  EXPECT_EQ(Appended(-1), "23:59:59.999  31 Dec 1969");
  EXPECT_EQ(Appended(-1001), "23:59:58.999  31 Dec 1969");
}

}  // namespace
