// program_state.cpp - the start values of the program-wide state, as a new process has them.
#include "program_state.h"

#include "globals.h"

#include <cstring>

void reset_program_state() {
    ceol = 0;
    numcom = 0;
    std::memset(roll_day, 0, sizeof roll_day);
    std::memset(roll_month, 0, sizeof roll_month);
    std::memset(precision, 0, sizeof precision);
    std::memset(bytes, 0, sizeof bytes);
    std::memset(compu_trac, 0, sizeof compu_trac);
    std::memset(mynames, 0, sizeof mynames);
    std::memset(ticker, 0, sizeof ticker);
    std::memset(all_tag, 0, sizeof all_tag);
    std::memset(active_months, 0, sizeof active_months);
    todays_year = todays_month = todays_day = 0;
    todays_date = 0;
    settings = Settings{};
    std::memset(holidays, 0, sizeof holidays);
    num_holidays = 0;
}
