#include "platform/clock.h"

#include <gtest/gtest.h>

using namespace nv;

TEST(Clock, WholeDayArithmeticAndFormats) {
  LocalDateTime t;
  t.year = 2024;
  t.month = 2;
  t.day = 28;
  t.hour = 7;
  t.minute = 5;
  t.second = 9;
  t.millisecond = 42;
  EXPECT_EQ(FormatDate(AddDays(t, 1)), "2024-02-29");
  EXPECT_EQ(FormatDate(AddDays(t, 2)), "2024-03-01");
  EXPECT_EQ(FormatDate(AddDays(t, -59)), "2023-12-31");
  EXPECT_EQ(FormatDate(AddDays(t, 366)), "2025-02-28");
  EXPECT_EQ(FormatDateTime(t), "2024-02-28 07:05:09");
  EXPECT_EQ(FormatLogStamp(t), "2024-02-28 07:05:09 042");
  EXPECT_EQ(FormatTime(AddDays(t, 10)), "07:05:09");
  LocalDateTime now = LocalNow();
  EXPECT_GE(now.year, 2024);
  EXPECT_EQ(FormatDate(AddDays(AddDays(now, 100000), -100000)), FormatDate(now));
}
