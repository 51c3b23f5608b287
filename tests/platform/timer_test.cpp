#include "platform/timer.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

#include "platform/environment.h"
#include "platform/process.h"

namespace {

// Width and fill must not pad the text.
template <typename Value>
std::string Streamed(const Value& value) {
  return (std::ostringstream() << std::setw(40) << std::setfill('*') << value).str();
}

std::string Appended(const dp::LocalTimeVal& time) {
  std::string out = ">";
  time.AppendTo(&out);
  return out.substr(1);
}

std::int64_t UtcMilliseconds(int year, unsigned month, unsigned day, int hour, int minute,
                             int second, int millisecond) {
  using namespace std::chrono;
  const auto moment = sys_days{std::chrono::year{year} / month / day} + hours{hour} +
                      minutes{minute} + seconds{second} + milliseconds{millisecond};
  return moment.time_since_epoch().count();
}

TEST(Timer, MSecIsMonotonicAndNonNegative) {
  EXPECT_EQ(dp::Timer::GetRawFrequency(), 1'000'000'000);
  dp::Timer timer;
  std::int64_t previous = 0;
  for (int i = 0; i < 10000; ++i) {
    ASSERT_GE(timer.MSec(), previous);
    previous = timer.MSec();
  }
  EXPECT_TRUE(dp::Timer::SleepMilliSeconds(3));
  EXPECT_GE(timer.MSec(), 3);
}

TEST(TimeVal, WritesUnpaddedFields) {
  EXPECT_EQ(dp::TimeVal(3'723'004).GetString(), "1:2:3.4");
  EXPECT_EQ(Streamed(dp::TimeVal(3'723'004)), "1:2:3.4");
  EXPECT_EQ(dp::TimeVal(360'059'999).GetString(), "100:0:59.999");
  EXPECT_EQ(dp::TimeVal(-3'723'004).GetString(), "-1:2:3.4");
  EXPECT_EQ(dp::TimeVal(std::numeric_limits<std::int64_t>::min()).GetString(),
            "-2562047788015:12:55.808");
}

class LocalTimeValUtc : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_tz_ = dp::Environment::Get("TZ");
    dp::Environment::Put("TZ", "UTC");
    tzset();
  }
  void TearDown() override {
    dp::Environment::Put("TZ", saved_tz_);
    tzset();
  }
  std::string saved_tz_;
};

TEST_F(LocalTimeValUtc, PaddedAndTraceForms) {
  const dp::LocalTimeVal time(UtcMilliseconds(2021, 3, 4, 5, 6, 7, 89));
  EXPECT_EQ(time.GetString(), " 5: 6: 7. 89  4 Mar 2021");
  EXPECT_EQ(Streamed(time), "5:6:07.089  4 Mar 2021");
  EXPECT_EQ(Appended(time), "5:6:07.089  4 Mar 2021");

  const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "June",
                         "July", "Aug", "Sept", "Oct", "Nov", "Dec"};
  for (unsigned month = 1; month <= 12; ++month) {
    const dp::LocalTimeVal mid_month(UtcMilliseconds(2022, month, 15, 12, 30, 0, 0));
    EXPECT_EQ(Appended(mid_month), "12:30:00.000  15 " + std::string(names[month - 1]) + " 2022");
  }
}

TEST_F(LocalTimeValUtc, CachedSecondFollowsEveryChange) {
  const std::int64_t last = UtcMilliseconds(1999, 12, 31, 23, 59, 59, 999);
  EXPECT_EQ(Appended(dp::LocalTimeVal(last - 999)), "23:59:59.000  31 Dec 1999");
  EXPECT_EQ(Appended(dp::LocalTimeVal(last)), "23:59:59.999  31 Dec 1999");
  EXPECT_EQ(Appended(dp::LocalTimeVal(last + 1)), "0:0:00.000  1 Jan 2000");
  EXPECT_EQ(dp::LocalTimeVal(last + 1).GetString(), " 0: 0: 0.  0  1 Jan 2000");

  // Before 1970 the milliseconds still count forwards within their second.
  EXPECT_EQ(Appended(dp::LocalTimeVal(-1)), "23:59:59.999  31 Dec 1969");
  EXPECT_EQ(Appended(dp::LocalTimeVal(-1001)), "23:59:58.999  31 Dec 1969");

}

TEST(ProcessId, IsCachedAndRenewedInAForkedChild) {
  EXPECT_EQ(dp::Process::GetCurrentProcId(), ::getpid());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(dp::Process::GetCurrentProcId() == ::getpid() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(dp::Process::GetCurrentProcId(), ::getpid());
}

}  // namespace
