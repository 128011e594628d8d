// holidays_file.h - the holiday stage: loads HOLIDAYS.KVL into the holiday calendar and warns
// on the console when the calendar has run out or will within 60 days.
#pragma once

// Opened by its bare name, so in the current directory.
constexpr char HOLIDAYS_FILE[] = "HOLIDAYS.KVL";

// Loads the calendar into holidays and num_holidays; 0 when loaded. A missing or damaged
// calendar gets a notice and hands the run over to the merge batch (crash_merge).
int load_holidays();
