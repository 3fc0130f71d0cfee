// Dates and times in GS1 data: YYMMDD with GS1's century rule, HHMM.
#pragma once

#include <string_view>

// The four-digit year of a two-digit one: within 49 years before
// currentYear and 50 after it.
int yearOf(int twoDigitYear, int currentYear);

// Whether six digits YYMMDD name a real day; with dayMayBeZero, DD = 00
// (GS1: the month's last day) passes too.
bool isValidDate(std::string_view yymmdd, bool dayMayBeZero, int currentYear);

// Whether four digits HHMM name a time of day (00:00 to 23:59).
bool isValidTimeOfDay(std::string_view hhmm);
