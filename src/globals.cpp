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
