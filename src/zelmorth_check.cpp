// zelmorth_check.cpp - zelmorth-check: runs the program's own run sequence over the recording
// platform and prints what a run would do now, one effect a line, without doing any of it.
// Usage: zelmorth-check [FOLDER], FOLDER standing for the install folder \QUARRINE\.
#include "globals.h"
#include "platform.h"
#include "platform_record.h"
#include "zelmorth.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char USAGE[] = "usage: zelmorth-check [FOLDER]";
constexpr char ABOUT[] = "Shows what a run of zelmorth would do now, in order, and changes "
                         "nothing; FOLDER stands for \\QUARRINE\\.\n";
constexpr char HEADER[] = "check what a run would do now, in order; nothing has been changed\n";
constexpr std::uint16_t FIRST_SERIAL_DAY = 61; // 1900-03-01, from which on days count evenly

// A Lotus day number as a calendar date, MM/DD/YYYY. From 1900-03-01 on it counts the days
// since 1899-12-30; the few numbers before that are shown as they are.
std::string date_text(std::uint16_t day) {
    if (day < FIRST_SERIAL_DAY)
        return "day " + std::to_string(day);
    using namespace std::chrono;
    year_month_day date{sys_days{year{1899} / December / 30} + days{day}};
    auto two = [](unsigned n) { return std::string(n < 10 ? "0" : "") + std::to_string(n); };
    return two(static_cast<unsigned>(date.month())) + "/" + two(static_cast<unsigned>(date.day())) +
           "/" + std::to_string(static_cast<int>(date.year()));
}

// "1 date", "2 dates".
std::string count_of(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Lines for people about what the run loaded, given only where the run got through the files
// they come from: the tables before any hand-over or updater, the calendar before the updater.
std::string notes(const RunEnd& end) {
    std::string out;
    if (end.ran_command || end.handed_over)
        out += "note TABLES.INI holds " +
               count_of(numcom < 0 ? 0 : numcom, "commodity", "commodities") + "\n";
    if (!end.ran_command)
        return out;
    if (num_holidays == 0)
        return out + "note HOLIDAYS.KVL holds no dates\n";
    std::uint16_t last = holidays[num_holidays - 1];
    int left = static_cast<int>(last) - static_cast<int>(todays_date);
    out += "note HOLIDAYS.KVL holds " + count_of(num_holidays, "date", "dates") + ", " +
           date_text(holidays[0]) + " to " + date_text(last) + "; ";
    if (left >= 0)
        out += count_of(left, "day", "days") + " left\n";
    else
        out += "ran out " + count_of(-left, "day", "days") + " ago\n";
    return out;
}

// Writes text to standard output; false, after a line on standard error, when it could not.
bool print(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    // Standard error is the last place left to say so; its own failure goes unreported.
    std::fputs("zelmorth-check: cannot write the report\n", stderr); // NOLINT(cert-err33-c)
    return false;
}

// Prints the report where the run would end. The check's status: 0 when the run would start
// the updater and end with 0, 1 when it would stop early or hand over, 2 when the report
// could not be written.
void finish(const std::string& held, const std::string& effects, const RunEnd& end) {
    if (!print(HEADER + held + notes(end) + effects))
        std::exit(2);
    std::exit(!end.handed_over && end.status == 0 && end.ran_command ? 0 : 1);
}

bool asks_for_help(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
           (NATIVE_HELP_SWITCH != nullptr && std::strcmp(arg, NATIVE_HELP_SWITCH) == 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        // NOLINTNEXTLINE(cert-err33-c): a usage message that cannot be written has no other way
        std::fprintf(stderr, "zelmorth-check: more than one argument; %s\n", USAGE);
        return 2;
    }
    if (argc == 2 && asks_for_help(argv[1]))
        return print(std::string(USAGE) + "\n" + ABOUT) ? 0 : 2;
    bool folder_given = argc == 2;
    if (folder_given && !native_change_folder(argv[1])) {
        // NOLINTNEXTLINE(cert-err33-c): a usage message that cannot be written has no other way
        std::fprintf(stderr, "zelmorth-check: not a folder: %s; %s\n", argv[1], USAGE);
        return 2;
    }
    record_start(folder_given, finish);
    run_sequence();
}
