// Calendar time: FILETIME (100-ns ticks since 1601-01-01 UTC) split into its
// fields and back.
//
// Declarations only; libvornrt.so implements them. No time zone is applied:
// the fields describe the instant in the same time base as the FILETIME.
#pragma once

#include "platform/types.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1 to 12
  WORD wDayOfWeek;  // 0 Sunday to 6 Saturday
  WORD wDay;        // 1 to 31
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Splits `fileTime` into calendar fields (proleptic Gregorian). Returns FALSE
// and leaves *systemTime untouched for a value at or above 2^63 ticks or a
// null pointer.
VORN_API BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);

// The reverse. wDayOfWeek is ignored. Returns FALSE for fields out of range
// (year 1601 to 30827, month 1 to 12, a day the month has, hour below 24,
// minute and second below 60, milliseconds below 1000).
VORN_API BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);

// The current time as a FILETIME, UTC.
VORN_API void GetSystemTimeAsFileTime(FILETIME* fileTime);
