// lotus_dates.h - Lotus day numbers: calendar dates and month/day/year texts as unsigned 16-bit
// day counts (1900-03-01 is 61, 0 is no date), today's date, and the decimal reading they use.
#pragma once

#include <cstdint>

// The day number of a calendar date: the low 16 bits of the Lotus count, 0 for 0/0/0. The
// year counts by its last two digits above 2000 (y % 100), and any values are accepted.
std::uint16_t date_to_lotus(int year, int month, int day);

// The day number of a text "month/day/year"; 0 when the text is not such a date. A year below
// 50 is taken as 20xx, any other as 19xx (so 2021 becomes 3921, which counts like 2021).
std::uint16_t date_scan(const char* text);

// Fills todays_year, todays_month, todays_day and todays_date from the local system date.
void get_todays_date();
