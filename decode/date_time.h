// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Date-times travel as the reading's ReadingTime: days since 1899-12-30 as a
// double, the fraction being the time of day. A time of day alone (the recall
// clock) has day 0.

#include <cstdint>
#include <string>

namespace dmm {

// The PC clock's local date and time.
double NowDateTime();

// A time of day from its parts (no range checks).
double TimeOfDay(int64_t hours, int64_t minutes, int64_t seconds);

// Milliseconds into the day of a date-time, rounded to the nearest millisecond.
int64_t MillisecondOfDay(double dateTime);

// "hh:mm:ss" (two-digit 24-hour fields joined by sep).
std::string FormatHms(double dateTime, char sep);

}  // namespace dmm
