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

// The settings file's values. Each text field has room for the capacity noted beside it and a
// string end; a longer value is cut to the capacity.
struct Settings {
    int spare1;
    int spare2;
    char update_directory[50];   // 49, ends with '\'
    char bulletin_directory[50]; // 49, ends with '\'
    char comm_flags[10];         // 9
    char userid[20];             // 19
    char password[20];           // 19
    char extraclc_flag;          // 'N' until the file says otherwise
    char xextended_cont;
    char xascii_path[100]; // 99
    char xmeta_path[100];  // 99
    char xascii_mask[20];  // 19
    char xmeta_mask[20];   // 19
    char xdata_format[10]; // 9
    std::uint16_t eu_last_date;
    char xeulast[20]; // 19, the text eu_last_date was read from
    char xusercd[5];  // 4
};
extern Settings settings;

// The holiday calendar: Lotus day numbers in file order.
constexpr int MAXHOLIDAYS = 2000;
extern std::uint16_t holidays[MAXHOLIDAYS];
extern int num_holidays;
