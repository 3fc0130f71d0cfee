#include "gs1_dates.h"

#include "check_digit.h"

namespace {

int twoDigits(std::string_view text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

int daysInMonth(int month, int year) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

int yearOf(int twoDigitYear, int currentYear) {
    const int difference = twoDigitYear - currentYear % 100;
    int century = currentYear - currentYear % 100;
    if (difference >= 51) century -= 100;
    if (difference <= -50) century += 100;
    return century + twoDigitYear;
}

bool isValidDate(std::string_view yymmdd, bool dayMayBeZero, int currentYear) {
    if (yymmdd.size() != 6 || !allDigits(yymmdd)) return false;
    const int month = twoDigits(yymmdd.substr(2));
    const int day = twoDigits(yymmdd.substr(4));
    if (month < 1 || month > 12) return false;
    if (day == 0) return dayMayBeZero;
    return day <= daysInMonth(month, yearOf(twoDigits(yymmdd), currentYear));
}

bool isValidTimeOfDay(std::string_view hhmm) {
    return hhmm.size() == 4 && allDigits(hhmm) && twoDigits(hhmm) < 24 && twoDigits(hhmm.substr(2)) < 60;
}
