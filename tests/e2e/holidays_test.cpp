// End-to-end tests of the holiday stage: the console texts against the real date, the end of
// the calendar, and the hand-over to the merge batch when the calendar is missing or damaged.
#include "sandbox.h"

#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>

namespace {

const char* const EXPIRED = "WARNING-HOLIDAY FILE HAS EXPIRED!!";
const std::string NOTE = "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = ";
const std::vector<std::string> UPDATER = {"TELVOX.EXE /M [in /QUARRINE]"};

// Runs the program on a valid install with the given calendar.
RunResult run_with(Sandbox& box, const std::string& calendar) {
    box.lay_support_files();
    box.write("QUARRINE/HOLIDAYS.KVL", calendar);
    return box.run();
}

// A calendar line padded with text after its columns to the given length before its line end.
std::string padded(const std::string& line, std::size_t length) {
    std::string body = line.substr(0, line.size() - 1);
    return body + std::string(length - body.size(), 'x') + "\n";
}

TEST(Holidays, ConsoleTextsAgainstTodaysDate) {
    struct Case {
        std::string calendar;
        std::string console;
    };
    const Case cases[] = {
        {holiday_line(-400) + holiday_line(-1), EXPIRED},
        {holiday_line(-400) + holiday_line(0), NOTE + "0"},
        {holiday_line(-400) + holiday_line(59), NOTE + "59"},
        {holiday_line(-400) + holiday_line(60), ""},
        // File order counts, not the latest date.
        {holiday_line(365) + holiday_line(10), NOTE + "10"},
        // A blank line ends the calendar.
        {holiday_line(30) + "\n" + holiday_line(365), NOTE + "30"},
        // A line of 79 or 80 characters leaves a piece too short to be a date.
        {padded(holiday_line(20), 79) + holiday_line(365), NOTE + "20"},
        {padded(holiday_line(20), 80) + holiday_line(365), NOTE + "20"},
        {padded(holiday_line(20), 78) + holiday_line(365), ""},
        // A last line without its line end is not read.
        {holiday_line(40) + holiday_line(365).substr(0, 11), NOTE + "40"},
        // "12/25" reads year 00 from its own string end: 2000-12-25, long past.
        {holiday_line(400) + "12/25\n", EXPIRED},
    };
    for (const Case& c : cases) {
        Sandbox box;
        RunResult r = run_with(box, c.calendar);
        EXPECT_EQ(r.console, c.console) << c.calendar;
        EXPECT_EQ(r.status, 0) << c.calendar;
        EXPECT_EQ(box.calls(), UPDATER) << c.calendar;
        EXPECT_FALSE(box.exists("QUARRINE/TELVOX.MSG")) << c.calendar;
    }
}

TEST(Holidays, ShortLineTakesYearAndCenturyFromTheLineBefore) {
    // The next date with a one-digit day, written "MM/D" after a line of that date's year.
    int days = 1;
    while (holiday_line(days)[3] != '0')
        ++days;
    std::string target = holiday_line(days);
    std::string calendar =
        "01/01/" + target.substr(6, 5) + "\n" + target.substr(0, 3) + target.substr(4, 1) + "\n";
    Sandbox box;
    RunResult r = run_with(box, calendar);
    EXPECT_EQ(r.console, NOTE + std::to_string(days)) << calendar;
    EXPECT_EQ(box.calls(), UPDATER);
}

TEST(Holidays, TwoThousandDatesLoad) {
    std::string calendar;
    for (int i = 0; i < 2000; ++i)
        calendar += holiday_line(100);
    Sandbox box;
    RunResult r = run_with(box, calendar);
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(box.calls(), UPDATER);
    EXPECT_FALSE(box.exists("QUARRINE/TELVOX.MSG"));
}

ino_t inode_of(const Sandbox& box, const std::string& rel) {
    struct stat st {};
    return stat((box.drive() / rel).c_str(), &st) == 0 ? st.st_ino : 0;
}

// A merge batch left before the run that holds exactly what the program writes is left alone,
// the very same file, since another run's command interpreter may be running it; any other
// (other line ends, a Ctrl-Z at the end, read-only) is replaced by the four lines.
TEST(Holidays, DamagedCalendarHandsTheRunToTheMergeBatch) {
    std::string too_many;
    for (int i = 0; i < 2001; ++i)
        too_many += holiday_line(100);
    const std::string batch = "@ECHO OFF\nSTART TELVOX /M\nSTART HALTBOX \"Finished_-_Zelmorth\" "
                              "1000\nSTART HALTBOX \"Finished_-_Merge\" 1000\n";
    std::string written;
    for (char c : batch)
        written += c == '\n' && sandbox_runs_windows_program() ? "\r\n" : std::string(1, c);
    struct Case {
        std::optional<std::string> calendar; // none: no file
        std::string notice;
        std::optional<std::string> earlier; // the merge batch before the run; none: no file
        bool read_only = false;
    };
    const Case cases[] = {
        {std::nullopt, "ERROR, could not open the holiday file HOLIDAYS.KVL", std::nullopt},
        {"07/04/21 21\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = 07", written},
        {holiday_line(100) + "13/01/21 20\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = 13", batch},
        {"02/00/21 20\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = 02", written + "\x1A"},
        {too_many, "TOO MANY HOLIDAYS, CAN'T LOAD HOLIDAY FILE INTO MEMORY",
         "@ECHO OFF\r\nREM old\r\n", true},
    };
    for (const Case& c : cases) {
        Sandbox box;
        box.lay_support_files();
        if (c.calendar)
            box.write("QUARRINE/HOLIDAYS.KVL", *c.calendar);
        else
            std::filesystem::remove(box.drive() / "QUARRINE/HOLIDAYS.KVL");
        box.write("QUARRINE/UPDATES/SYMBOLS.TXT", "SP,GC\n");
        if (c.earlier)
            box.write("QUARRINE/merge.bat", *c.earlier);
        if (c.read_only)
            chmod((box.drive() / "QUARRINE/merge.bat").c_str(), 0444);
        ino_t earlier = inode_of(box, "QUARRINE/merge.bat");
        RunResult r = box.run();
        EXPECT_EQ(r.console, c.earlier ? "" : missing_batch_attrib_line()) << c.notice;
        EXPECT_EQ(r.status, 0) << c.notice;
        EXPECT_EQ(box.read("QUARRINE/TELVOX.MSG"), notice_block(c.notice));
        bool kept = c.earlier == written;
        EXPECT_EQ(box.read("QUARRINE/merge.bat"), kept ? written : batch) << c.notice;
        EXPECT_EQ(inode_of(box, "QUARRINE/merge.bat") == earlier, kept) << c.notice;
        // The batch ran in the program's place: no "TELVOX.EXE /M" of its own, and the
        // stages after the calendar never ran.
        EXPECT_EQ(box.calls(), merge_batch_calls()) << c.notice;
        EXPECT_TRUE(box.exists("QUARRINE/UPDATES/SYMBOLS.TXT")) << c.notice;
    }
}

} // namespace
