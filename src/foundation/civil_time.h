// Calendar arithmetic on the proleptic Gregorian calendar, independent of any
// time zone: days since 1970-01-01, weekdays, broken-down times. Pure
// functions, no Windows header; any thread.
#pragma once

#include <cstdint>

struct CivilTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Days since 1970-01-01 of a date, and the date of such a day number.
std::int64_t DaysFromCivil(int year, int month, int day);
CivilTime CivilFromDays(std::int64_t days);
// 0 = Sunday ... 6 = Saturday.
int WeekdayOfDays(std::int64_t days);
// year * 10000 + month * 100 + day.
int Ymd(const CivilTime& time);
