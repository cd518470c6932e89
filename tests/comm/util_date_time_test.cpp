#include "comm/UtilDateTime.h"

#include <gtest/gtest.h>
#include <time.h>

#include <ostream>
#include <string>

namespace {

struct DateCase {
    const char* name;
    const char* text;
    int day, month, year, hour, minute, second;
};
void PrintTo(const DateCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.text);
}

class UtilDateTimeParse : public ::testing::TestWithParam<DateCase> {};

TEST_P(UtilDateTimeParse, ReadsEveryField) {
    const DateCase c = GetParam();
    const UtilDateTime d{std::string(c.text)};
    EXPECT_EQ(d.day, c.day);
    EXPECT_EQ(d.month, c.month);
    EXPECT_EQ(d.year, c.year);
    EXPECT_EQ(d.hour, c.hour);
    EXPECT_EQ(d.minute, c.minute);
    EXPECT_EQ(d.second, c.second);
}

INSTANTIATE_TEST_SUITE_P(
    AsctimeTexts, UtilDateTimeParse,
    ::testing::Values(DateCase{"Jan", "Thu Jan 28 09:05:07 2021\n", 28, 1, 2021, 9, 5, 7},
                      DateCase{"Feb", "Sun Feb 28 23:59:59 1999\n", 28, 2, 1999, 23, 59, 59},
                      DateCase{"May", "Wed May 10 10:20:30 2023\n", 10, 5, 2023, 10, 20, 30},
                      DateCase{"Sep", "Sat Sep 30 00:00:00 2000\n", 30, 9, 2000, 0, 0, 0},
                      DateCase{"Dec", "Fri Dec 31 12:34:56 2021\n", 31, 12, 2021, 12, 34, 56},
                      // asctime pads a single-digit day with a space.
                      DateCase{"SpacePaddedDay", "Mon Feb  1 08:07:06 2021\n", 1, 2, 2021, 8, 7, 6},
                      DateCase{"ZeroPaddedDay", "Mon Feb 01 08:07:06 2021\n", 1, 2, 2021, 8, 7, 6},
                      // A month name outside the list gives 0, the other fields stay.
                      DateCase{"UnknownMonth", "Thu Jen 28 09:05:07 2021\n", 28, 0, 2021, 9, 5, 7},
                      DateCase{"LowerCaseMonth", "Thu jan 28 09:05:07 2021\n", 28, 0, 2021, 9, 5, 7},
                      DateCase{"Empty", "", 0, 0, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<DateCase>& info) { return std::string(info.param.name); });

TEST(UtilDateTime, ReadsWhatAsctimeWritesForASingleDigitDay) {
    tm t{};
    t.tm_mday = 7;
    t.tm_mon = 2;
    t.tm_year = 2024 - 1900;
    t.tm_wday = 4;
    t.tm_hour = 6;
    t.tm_min = 5;
    t.tm_sec = 4;
    char text[26] = {};
    ASSERT_NE(asctime_r(&t, text), nullptr);
    const UtilDateTime d{std::string(text)};
    EXPECT_EQ(d.day, 7);
    EXPECT_EQ(d.month, 3);
    EXPECT_EQ(d.year, 2024);
    EXPECT_EQ(d.hour, 6);
    EXPECT_EQ(d.minute, 5);
    EXPECT_EQ(d.second, 4);
}

TEST(UtilDateTime, NowIsTheLocalTime) {
    const time_t before = time(nullptr);
    const UtilDateTime d = UtilDateTime::now();
    const time_t after = time(nullptr);
    auto matches = [&d](time_t t) {
        tm local{};
        localtime_r(&t, &local);
        return d.day == local.tm_mday && d.month == local.tm_mon + 1 && d.year == local.tm_year + 1900 &&
               d.hour == local.tm_hour && d.minute == local.tm_min && d.second == local.tm_sec;
    };
    EXPECT_TRUE(matches(before) || matches(after));
}

}  // namespace
