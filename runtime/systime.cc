// FILETIME <-> SYSTEMTIME: 100-ns ticks since 1601-01-01 00:00 split into
// proleptic Gregorian calendar fields, with no time zone applied.

#include <ctime>

#include "platform/systime.h"
#include "runtime/text.h"

namespace {

constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// Days since 1970-01-01 of a Gregorian date (H. Hinnant's algorithm: years
// counted from March, so the leap day ends the year).
constexpr int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

constexpr int64_t kDays1601 = DaysFromCivil(1601, 1, 1);
static_assert(kDays1601 * 86'400 == -kSecondsFrom1601To1970);

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// The inverse of DaysFromCivil.
constexpr CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const unsigned day = static_cast<unsigned>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  const unsigned month =
      static_cast<unsigned>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  return {yearOfEra + era * 400 + (month <= 2), month, day};
}

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
  if (!fileTime || !systemTime) return FALSE;
  const uint64_t ticks =
      (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  if (ticks >= (uint64_t{1} << 63)) return FALSE;
  const int64_t days = static_cast<int64_t>(ticks / kTicksPerDay);
  int64_t rest = static_cast<int64_t>(ticks % kTicksPerDay);
  const CivilDate date = CivilFromDays(kDays1601 + days);
  SYSTEMTIME result{};
  result.wYear = static_cast<WORD>(date.year);
  result.wMonth = static_cast<WORD>(date.month);
  result.wDay = static_cast<WORD>(date.day);
  result.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  result.wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
  rest %= 3600 * kTicksPerSecond;
  result.wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond));
  rest %= 60 * kTicksPerSecond;
  result.wSecond = static_cast<WORD>(rest / kTicksPerSecond);
  rest %= kTicksPerSecond;
  result.wMilliseconds = static_cast<WORD>(rest / kTicksPerMillisecond);
  *systemTime = result;
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
  if (!systemTime || !fileTime) return FALSE;
  const SYSTEMTIME& t = *systemTime;
  if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
      t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
      t.wSecond > 59 || t.wMilliseconds > 999) {
    return FALSE;
  }
  const int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay) - kDays1601;
  const int64_t seconds = ((days * 24 + t.wHour) * 60 + t.wMinute) * 60 + t.wSecond;
  const uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond +
                                               t.wMilliseconds * kTicksPerMillisecond);
  fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* fileTime) {
  if (!fileTime) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t ticks = (static_cast<int64_t>(now.tv_sec) + kSecondsFrom1601To1970) * kTicksPerSecond +
                  now.tv_nsec / 100;
  if (ticks < 0) ticks = 0;
  fileTime->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
  fileTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
}

namespace vorn_rt {

uint64_t NowTicks() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return TicksOf(now);
}

}  // namespace vorn_rt
