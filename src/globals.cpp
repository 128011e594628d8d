// globals.cpp - definitions of the program-wide state.
#include "globals.h"

int ceol = 0;

int numcom = 0;
int roll_day[MAXCOMMODITIES];
int roll_month[MAXCOMMODITIES];
int precision[MAXCOMMODITIES];
int bytes[MAXCOMMODITIES];
int compu_trac[MAXCOMMODITIES];
char mynames[MAXCOMMODITIES][MYNAME_SLOT];
char ticker[MAXCOMMODITIES][TICKER_SLOT];
char all_tag[MAXCOMMODITIES][TAG_SLOT];
char active_months[MAXCOMMODITIES][MONTHS_SLOT];
const char* const tables[NUM_TABLES] = {"roll_day",   "roll_month", "precision", "bytes",
                                        "compu_trac", "mynames",    "all_tag"};

int todays_year = 0;
int todays_month = 0;
int todays_day = 0;
std::uint16_t todays_date = 0;

Settings settings = {};

std::uint16_t holidays[MAXHOLIDAYS] = {};
int num_holidays = 0;
