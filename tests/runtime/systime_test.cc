#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "platform/systime.h"

namespace {

FILETIME FromTicks(uint64_t ticks) {
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

uint64_t Ticks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

struct Expected {
  uint64_t ticks;
  WORD year, month, day, dayOfWeek, hour, minute, second, milliseconds;
};

// Ticks worked out independently of this code (calendar arithmetic in another
// language); the maximum is the last tick below 2^63.
constexpr Expected kDates[] = {
    {0, 1601, 1, 1, 1, 0, 0, 0, 0},
    {997488000000000, 1604, 2, 29, 0, 12, 0, 0, 0},
    {31292352000000000, 1700, 3, 1, 1, 0, 0, 0, 0},
    {62849087990000000, 1800, 2, 28, 5, 23, 59, 59, 0},
    {94405824000000000, 1900, 3, 1, 4, 0, 0, 0, 0},
    {125962780280090000, 2000, 2, 29, 2, 6, 7, 8, 9},
    {127492167030000000, 2005, 1, 3, 1, 9, 5, 3, 0},
    {128380668000000000, 2007, 10, 28, 0, 17, 40, 0, 0},
    {2650467743999990000, 9999, 12, 31, 5, 23, 59, 59, 999},
    {9223372036854775807u, 30828, 9, 14, 4, 2, 48, 5, 477},
};

void ExpectFields(const SYSTEMTIME& t, const Expected& e) {
  EXPECT_EQ(t.wYear, e.year) << e.ticks;
  EXPECT_EQ(t.wMonth, e.month) << e.ticks;
  EXPECT_EQ(t.wDay, e.day) << e.ticks;
  EXPECT_EQ(t.wDayOfWeek, e.dayOfWeek) << e.ticks;
  EXPECT_EQ(t.wHour, e.hour) << e.ticks;
  EXPECT_EQ(t.wMinute, e.minute) << e.ticks;
  EXPECT_EQ(t.wSecond, e.second) << e.ticks;
  EXPECT_EQ(t.wMilliseconds, e.milliseconds) << e.ticks;
}

TEST(SystemTime, KnownInstantsSplitExactly) {
  for (const Expected& e : kDates) {
    const FILETIME ft = FromTicks(e.ticks);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << e.ticks;
    ExpectFields(st, e);
  }
}

TEST(SystemTime, ValuesFromTwoToTheSixtyThreeAreRefused) {
  for (uint64_t ticks : {uint64_t{1} << 63, (uint64_t{1} << 63) + 1, ~uint64_t{0}}) {
    const FILETIME ft = FromTicks(ticks);
    SYSTEMTIME st{7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 7);
    EXPECT_EQ(st.wMilliseconds, 7);
  }
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
  const FILETIME zero{};
  EXPECT_FALSE(FileTimeToSystemTime(&zero, nullptr));
}

// The C library's UTC calendar (proleptic Gregorian for every year) is an
// independent check over the whole range.
TEST(SystemTime, AgreesWithTheCLibraryAcrossTheRange) {
  std::mt19937_64 random(20240601);
  std::uniform_int_distribution<uint64_t> pick(0, (uint64_t{1} << 63) - 1);
  for (int i = 0; i < 20000; ++i) {
    const uint64_t ticks = pick(random);
    const FILETIME ft = FromTicks(ticks);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    const time_t seconds =
        static_cast<time_t>(ticks / 10000000) - static_cast<time_t>(11644473600LL);
    tm expected{};
    ASSERT_TRUE(gmtime_r(&seconds, &expected));
    ASSERT_EQ(st.wYear, expected.tm_year + 1900) << ticks;
    ASSERT_EQ(st.wMonth, expected.tm_mon + 1) << ticks;
    ASSERT_EQ(st.wDay, expected.tm_mday) << ticks;
    ASSERT_EQ(st.wDayOfWeek, expected.tm_wday) << ticks;
    ASSERT_EQ(st.wHour, expected.tm_hour) << ticks;
    ASSERT_EQ(st.wMinute, expected.tm_min) << ticks;
    ASSERT_EQ(st.wSecond, expected.tm_sec) << ticks;
    ASSERT_EQ(st.wMilliseconds, ticks / 10000 % 1000) << ticks;

    FILETIME back{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    ASSERT_EQ(Ticks(back), ticks - ticks % 10000) << ticks;
  }
}

TEST(SystemTime, TimeZoneChangesNothing) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  auto convert = [](const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
    std::string text;
    for (const Expected& e : kDates) {
      const FILETIME ft = FromTicks(e.ticks);
      SYSTEMTIME st{};
      FileTimeToSystemTime(&ft, &st);
      text += std::to_string(st.wYear) + "-" + std::to_string(st.wMonth) + "-" +
              std::to_string(st.wDay) + " " + std::to_string(st.wHour) + ":" +
              std::to_string(st.wMinute) + ";";
    }
    return text;
  };
  const std::string east = convert("Asia/Tokyo");
  const std::string west = convert("America/Los_Angeles");
  const std::string posix = convert("XYZ+5:30");
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_EQ(east, west);
  EXPECT_EQ(east, posix);
}

TEST(SystemTime, FieldsOutOfRangeAreRefused) {
  const SYSTEMTIME good{2000, 2, 0, 29, 23, 59, 59, 999};
  FILETIME ft{};
  ASSERT_TRUE(SystemTimeToFileTime(&good, &ft));
  EXPECT_EQ(Ticks(ft), 125963423999990000u);
  struct Bad {
    const char* what;
    SYSTEMTIME t;
  } bad[] = {
      {"1900 is not a leap year", {1900, 2, 0, 29, 0, 0, 0, 0}},
      {"1700 is not a leap year", {1700, 2, 0, 29, 0, 0, 0, 0}},
      {"April 31", {2001, 4, 0, 31, 0, 0, 0, 0}},
      {"day 0", {2001, 1, 0, 0, 0, 0, 0, 0}},
      {"month 0", {2001, 0, 0, 1, 0, 0, 0, 0}},
      {"month 13", {2001, 13, 0, 1, 0, 0, 0, 0}},
      {"year 1600", {1600, 12, 0, 31, 0, 0, 0, 0}},
      {"year 30828", {30828, 1, 0, 1, 0, 0, 0, 0}},
      {"hour 24", {2001, 1, 0, 1, 24, 0, 0, 0}},
      {"minute 60", {2001, 1, 0, 1, 0, 60, 0, 0}},
      {"second 60", {2001, 1, 0, 1, 0, 0, 60, 0}},
      {"millisecond 1000", {2001, 1, 0, 1, 0, 0, 0, 1000}},
  };
  for (const Bad& b : bad) {
    FILETIME out{1, 2};
    EXPECT_FALSE(SystemTimeToFileTime(&b.t, &out)) << b.what;
    EXPECT_EQ(out.dwLowDateTime, 1u) << b.what;
  }
}

TEST(SystemTime, NowIsNearTheCLibrarysNow) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const int64_t seconds = static_cast<int64_t>(Ticks(now) / 10000000) - 11644473600LL;
  EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(time(nullptr))), 2);
}

}  // namespace
