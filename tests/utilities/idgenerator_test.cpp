#include "qmkutils/utilities/idgenerator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "qmkutils/utilities/internal/idgeneratorclock.h"
#include "qmkutils/utilities/intervalalarm.h"

namespace {

std::int64_t s_seconds = 0;

class IdGeneratorTest : public ::testing::Test {
 protected:
  IdGeneratorTest() {
    du::id_generator::SetClockForTesting([] { return s_seconds; });
  }
  ~IdGeneratorTest() override { du::id_generator::SetClockForTesting(nullptr); }
};

TEST_F(IdGeneratorTest, SixteenBitsGiveEveryNonZeroIdOnceThenZeroForEver) {
  s_seconds = 1'700'000'000;
  du::IdGenerator ids(16, 0x7F0000);
  std::vector<bool> seen(65536);
  for (int i = 0; i < 65535; ++i) {
    const unsigned id = ids++;
    ASSERT_EQ(id & 0xFFFF0000, 0x7F0000u) << i;
    ASSERT_NE(id & 0xFFFF, 0u) << i;
    ASSERT_FALSE(seen[id & 0xFFFF]) << i;
    seen[id & 0xFFFF] = true;
  }
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(ids++ == 0u && ++ids == 0u && --ids == 0u && static_cast<unsigned>(ids) == 0u);
}

TEST_F(IdGeneratorTest, SequencesFollowTheSecondOfActivation) {
  const auto firstIds = [](unsigned bits) {
    du::IdGenerator ids(bits, 0);
    std::vector<unsigned> out;
    for (int i = 0; i < 20; ++i) out.push_back(++ids);
    return out;
  };
  for (const unsigned bits : {16u, 24u, 31u, 32u, 8u}) {
    s_seconds = 1'234'567'890;
    const std::vector<unsigned> once = firstIds(bits);
    EXPECT_EQ(firstIds(bits), once) << bits;
    s_seconds += 1;
    EXPECT_NE(firstIds(bits), once) << bits;
    EXPECT_EQ(std::set<unsigned>(once.begin(), once.end()).size(), once.size()) << bits;
    if (bits >= 16 && bits <= 31) {
      for (const unsigned id : once) EXPECT_LT(id, 1u << bits) << bits;
    }
  }
}

TEST_F(IdGeneratorTest, DecrementRetracesIncrementAndInactivateSpends) {
  s_seconds = 42;
  du::IdGenerator ids;
  const unsigned start = ids;
  EXPECT_NE(start, 0u);
  const unsigned second = ++ids;
  EXPECT_EQ(ids--, second);
  EXPECT_EQ(ids++, start);
  EXPECT_EQ(--ids, start);

  du::IdGenerator copy;
  copy = ids;
  EXPECT_EQ(++copy, second);
  ids.Inactivate();
  EXPECT_TRUE(++ids == 0u && ids-- == 0u);
}

TEST(IntervalAlarmTest, InactiveUntilGivenAnIntervalThenTicksMoveOnByWholeIntervals) {
  du::IntervalAlarm alarm(0);
  EXPECT_FALSE(alarm.IsActive());
  EXPECT_EQ(alarm.TimeTillNextAlarm(), -1);
  EXPECT_GT(alarm.SetAlarmInterval(100), -1);
  EXPECT_TRUE(alarm.IsActive());
  EXPECT_EQ(alarm.SetAlarmInterval(-5, 0), 0);
  EXPECT_FALSE(alarm.IsActive());

  // First tick 350 s ago, every 100 s: the next is 50 s from now.
  EXPECT_GE(alarm.SetAlarmInterval(100'000, alarm.TimeNow() - 350'000), 0);
  const std::int64_t left = alarm.TimeTillNextAlarm();
  EXPECT_TRUE(left > 0 && left <= 50'000) << left;

  // A tick that came due is reported once; the next lies ahead.
  alarm.SetAlarmInterval(20);
  du::IntervalAlarm::SleepMilliSeconds(70);
  EXPECT_EQ(alarm.TimeTillNextAlarm(), 0);
  EXPECT_LE(alarm.TimeTillNextAlarm(), 20);

  // The ends of the range neither wrap nor overflow.
  alarm.SetAlarmInterval(INT64_MAX, INT64_MIN);
  EXPECT_GT(alarm.TimeTillNextAlarm(), 0);
  alarm.SetAlarmInterval(INT64_MAX);
  EXPECT_GT(alarm.TimeTillNextAlarm(), 0);
}

}  // namespace
