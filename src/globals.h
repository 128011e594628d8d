// globals.h - the program-wide state that the stages fill and share; it lives until the
// process ends.
#pragma once

#include <cstdint>

// The character that ends a settings value; the run sequence sets it to the newline.
extern int ceol;

// Commodity tables, filled by load_tables from the commodity tables file. Commodity i runs
// from 0 to numcom - 1; every table has room for MAXCOMMODITIES commodities.
constexpr int MAXCOMMODITIES = 100;
constexpr int NUM_TABLES = 7;
constexpr int MYNAME_SLOT = 18; // 16 characters of name, string end, one spare
constexpr int TICKER_SLOT = 4;  // 2 characters of ticker, string end, one spare
constexpr int TAG_SLOT = 14;    // 13 characters of tag and the string end
constexpr int MONTHS_SLOT = 14; // 1 to 12 month letters and the string end

// The count as read; a negative count is kept but acts as 0.
extern int numcom;
extern int roll_day[MAXCOMMODITIES];
extern int roll_month[MAXCOMMODITIES];
extern int precision[MAXCOMMODITIES];
extern int bytes[MAXCOMMODITIES];
extern int compu_trac[MAXCOMMODITIES];
extern char mynames[MAXCOMMODITIES][MYNAME_SLOT];
extern char ticker[MAXCOMMODITIES][TICKER_SLOT];
extern char all_tag[MAXCOMMODITIES][TAG_SLOT];
extern char active_months[MAXCOMMODITIES][MONTHS_SLOT];
// The seven table names in their fixed order; a header selects the first that fits.
extern const char* const tables[NUM_TABLES];

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
