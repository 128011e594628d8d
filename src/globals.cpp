// globals.cpp - definitions of the program-wide state.
#include "globals.h"

int ceol = 0;

int todays_year = 0;
int todays_month = 0;
int todays_day = 0;
std::uint16_t todays_date = 0;

Settings settings = {};

std::uint16_t holidays[MAXHOLIDAYS] = {};
int num_holidays = 0;
