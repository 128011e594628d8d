// holidays_file.cpp - the holiday calendar: one "MM/DD/YY CC" date per line in fixed columns,
// read into Lotus day numbers, then the expiry check against today's date.
#include "holidays_file.h"

#include "abort.h"
#include "c_locale.h"
#include "globals.h"
#include "lotus_dates.h"
#include "notices.h"
#include "platform.h"
#include "text_reader.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t LINE_MAX_CHARS = 79;
constexpr std::size_t LINE_BUF = 100;
constexpr std::size_t SHORTEST_LINE = 3; // a shorter line (a blank one) ends the calendar
constexpr unsigned WARNING_DAYS = 60;

constexpr char OPEN_FAILED[] = "ERROR, could not open the holiday file HOLIDAYS.KVL";
constexpr char BAD_CENTURY[] = "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = ";
constexpr char BAD_DATE[] = "ERROR IN HOLIDAYS.KVL FILE, LINE = ";
constexpr char TOO_MANY[] = "TOO MANY HOLIDAYS, CAN'T LOAD HOLIDAY FILE INTO MEMORY";
constexpr char EXPIRED[] = "WARNING-HOLIDAY FILE HAS EXPIRED!!";
constexpr char DAYS_LEFT[] = "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = %d";

TextReader reader; // file scope: its buffer is too large for the stack

// Reports a missing or damaged calendar and hands the run over to the merge batch. The line's
// month field (its first two characters) follows the message where one is given. A calendar
// whose reading failed part-way is reported as one that cannot be opened.
[[noreturn]] void reject(const char* message, const char* month_field) {
    text_close(reader);
    char text[LINE_BUF + sizeof BAD_CENTURY];
    // NOLINTNEXTLINE(cert-err33-c): room for any message and line; the length is not needed
    std::snprintf(text, sizeof text, "%s%s", message, month_field);
    ask_msg(text);
    crash_merge();
}

// Prints the expiry warning or the days left when the last date is less than 60 days away.
// today + 60 is counted beyond 16 bits so that it cannot wrap below the last date.
void check_expiry(std::uint16_t last) {
    get_todays_date();
    unsigned today = todays_date;
    if (today > last) {
        plat_console(EXPIRED);
    } else if (today + WARNING_DAYS > last) {
        char text[sizeof DAYS_LEFT + 16];
        // NOLINTNEXTLINE(cert-err33-c): room for any int, so the length is not needed
        std::snprintf(text, sizeof text, DAYS_LEFT, static_cast<int>(last - today));
        plat_console(text);
    }
}

} // namespace

int load_holidays() {
    if (!text_open(reader, HOLIDAYS_FILE))
        reject(OPEN_FAILED, "");
    num_holidays = 0;

    // The columns are read in place from one buffer that is not cleared between lines: a line
    // too short to reach a column takes it from the line before (whose string ends are still
    // in place), and a first line that short finds zeros there.
    char line[LINE_BUF] = {};
    while (read_line(reader, line, LINE_MAX_CHARS) && std::strlen(line) >= SHORTEST_LINE) {
        line[2] = line[5] = line[8] = line[11] = '\0';
        int month = decimal_value(line + 0);
        int day = decimal_value(line + 3);
        int year = decimal_value(line + 6);
        int century = decimal_value(line + 9);
        if (century != 19 && century != 20)
            reject(BAD_CENTURY, line);
        if (month < 1 || month > 12 || day < 1 || day > 31)
            reject(BAD_DATE, line);
        if (num_holidays >= MAXHOLIDAYS)
            reject(TOO_MANY, "");
        holidays[num_holidays++] = date_to_lotus(century * 100 + year, month, day);
    }
    if (reader.failed)
        reject(OPEN_FAILED, "");
    text_close(reader);

    // With no date loaded there is no end to compare with, and nothing is reported.
    if (num_holidays > 0)
        check_expiry(holidays[num_holidays - 1]);
    return 0;
}
