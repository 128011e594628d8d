// lotus_dates.cpp - Lotus day numbers, the date texts that give them, and today's date.
#include "lotus_dates.h"

#include "c_locale.h"
#include "globals.h"
#include "platform.h"

#include <climits>
#include <cstring>

namespace {

// date_scan keeps the month field, then the day field, in a work buffer of this size.
constexpr std::size_t SCAN_FIELD_CAP = 100;

// Copies the text up to the next '/' into field; the position after that '/', or nullptr
// when the field has no end or does not fit the work buffer.
const char* scan_field(const char* text, char (&field)[SCAN_FIELD_CAP]) {
    const char* slash = std::strchr(text, '/');
    if (slash == nullptr || static_cast<std::size_t>(slash - text) >= SCAN_FIELD_CAP)
        return nullptr;
    std::size_t len = static_cast<std::size_t>(slash - text);
    std::memcpy(field, text, len);
    field[len] = '\0';
    return slash + 1;
}

// A year of date_scan may lie beyond the int range once its century is added. Above 2000 only
// its last two digits count, so such a year is replaced by one of the same last two digits.
int fold_year(long long year) {
    if (year <= INT_MAX)
        return static_cast<int>(year);
    return static_cast<int>(2100 + year % 100);
}

} // namespace

std::uint16_t date_to_lotus(int year, int month, int day) {
    if (year == 0 && month == 0 && day == 0)
        return 0;
    // Wide arithmetic, so that no int input can overflow; division truncates toward zero and
    // the remainder keeps the dividend's sign, which January and February 1900 rely on.
    long long y;
    long long bias;
    if (year <= 1999) {
        y = static_cast<long long>(year) - 1900;
        bias = 0;
    } else {
        y = static_cast<long long>(year) - 2000;
        // January and February 2000 count from 1999, which has one leap day fewer than 2000.
        bool early_2000 = year == 2000 && (month == 1 || (month == 2 && day <= 29));
        bias = early_2000 ? 36524 : 36525;
    }
    long long m;
    if (month > 2) {
        m = static_cast<long long>(month) - 3;
    } else {
        m = static_cast<long long>(month) + 9;
        y = y - 1;
    }
    long long count = ((y % 100) * 1461) / 4 + (m * 153 + 2) / 5 + day + bias;
    return static_cast<std::uint16_t>(count + 60); // the low 16 bits
}

std::uint16_t date_scan(const char* text) {
    if (std::strlen(text) < 5)
        return 0;
    char field[SCAN_FIELD_CAP];
    const char* rest = scan_field(text, field);
    if (rest == nullptr)
        return 0;
    int month = decimal_value(field);
    if (month < 0 || month > 12)
        return 0;
    rest = scan_field(rest, field);
    if (rest == nullptr)
        return 0;
    int day = decimal_value(field);
    if (day < 0 || day > 31)
        return 0;
    int year = decimal_value(rest);
    if (year == 0 || day == 0 || month == 0)
        return 0;
    long long full_year = (year < 50 ? 2000LL : 1900LL) + year;
    return date_to_lotus(fold_year(full_year), month, day);
}

void get_todays_date() {
    char today[9] = {};
    plat_today(today); // "MM/DD/YY"
    char field[3] = {};
    std::memcpy(field, today, 2);
    todays_month = decimal_value(field);
    std::memcpy(field, today + 3, 2);
    todays_day = decimal_value(field);
    std::memcpy(field, today + 6, 2);
    todays_year = 2000 + decimal_value(field);
    todays_date = date_to_lotus(todays_year, todays_month, todays_day);
}
