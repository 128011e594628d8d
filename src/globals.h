// globals.h - the program-wide state that the stages fill and share; it lives until the
// process ends.
#pragma once

#include <cstdint>

// The character that ends a settings value; the run sequence sets it to the newline.
extern int ceol;

// Today's local date: the four-digit year, month, day and its Lotus day number.
extern int todays_year;
extern int todays_month;
extern int todays_day;
extern std::uint16_t todays_date;
