// Tests of the holiday loader: the fixed columns and their stale-buffer reading, the end of
// the calendar, the expiry texts against today's date, and each failure's notice.
#include "holidays_file.h"

#include "abort.h"
#include "fake_platform.h"
#include "globals.h"
#include "notices.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Loaded {
    std::vector<int> dates;
    std::string console;
};

// Loads a calendar with today's date as given ("MM/DD/YY").
Loaded load(const std::string& file, const char* today) {
    FakePlatform fake;
    fake.world.files[HOLIDAYS_FILE] = file;
    fake.world.today = today;
    num_holidays = -1;
    EXPECT_EQ(load_holidays(), 0);
    Loaded out;
    out.dates.assign(holidays, holidays + num_holidays);
    out.console = fake.world.console;
    EXPECT_EQ(fake.world.files.size(), 1u); // no notice, no batch
    return out;
}

// Loads a calendar that must be rejected; the notice text, after checking that the merge
// batch was written and started in place of the process.
std::string rejected(const std::string* file) {
    FakePlatform fake;
    if (file != nullptr)
        fake.world.files[HOLIDAYS_FILE] = *file;
    try {
        load_holidays();
        ADD_FAILURE() << "the calendar was accepted";
    } catch (const ProcessReplaced& replaced) {
        EXPECT_EQ(replaced.path, MERGE_BATCH);
    }
    EXPECT_EQ(fake.world.files.count(MERGE_BATCH), 1u);
    EXPECT_EQ(fake.world.console, "");
    std::string notice = fake.world.files[NOTICE_FILE];
    std::string head = notice_block("");
    std::string tail = "\n    ";
    head.resize(head.size() - tail.size());
    if (notice.size() < head.size() + tail.size() || notice.compare(0, head.size(), head) != 0 ||
        notice.compare(notice.size() - tail.size(), tail.size(), tail) != 0)
        return "not one notice block: " + notice;
    return notice.substr(head.size(), notice.size() - head.size() - tail.size());
}

std::string many_lines(int count) {
    std::string file;
    for (int i = 0; i < count; ++i)
        file += "06/01/27 20\n";
    return file;
}

const char* const TODAY = "12/07/26"; // day number 46363
const char* const EXPIRED = "WARNING-HOLIDAY FILE HAS EXPIRED!!";

TEST(LoadHolidays, Calendars) {
    const std::string line79 = "06/01/27 20" + std::string(68, 'x');
    struct Case {
        std::string file;
        std::vector<int> dates;
        std::string console;
    };
    const Case cases[] = {
        {"", {}, ""},
        {"\n07/04/21 20\n", {}, ""}, // a blank first line: no date, no expiry test
        {"07/04/21 20\n", {44381}, EXPIRED},
        {"07/04/99 19\n", {36345}, EXPIRED},
        {"02/31/21 20\n", {44258}, EXPIRED}, // 2021-03-03
        {"07/04/21 20\n12/5\n", {44381, 44535}, EXPIRED},
        {"07/04/21 20\n12/25\n", {44381, 36885}, EXPIRED},
        {"06/01/27 20\n12/5\n", {46539, 46726}, ""},         // 2027-12-05 from the stale year
        {"07/04/21 20\n12/25/2\n", {44381, 37615}, EXPIRED}, // 2002: century 20 stays
        {" 6/ 1/27 20 Tuesday\n", {46539}, ""},
        {"06/01/27 20\n06/02/27 20\n06/03/27 20\n06/04/27 20\n06/05/27 20\n\n07/04/21 20\nbad\n",
         {46539, 46540, 46541, 46542, 46543},
         ""},
        {"06/01/27 20\n07/04/21 20", {46539}, ""},               // a last line without its line end
        {"06/01/27 20\n07/04/21 20\n", {46539, 44381}, EXPIRED}, // file order, last counts
        {line79 + "\n07/04/21 20\n", {46539}, ""},
        {line79 + "x\n07/04/21 20\n", {46539}, ""},
        {line79.substr(0, 78) + "\n07/04/21 20\n", {46539, 44381}, EXPIRED},
    };
    for (const Case& c : cases) {
        Loaded got = load(c.file, TODAY);
        EXPECT_EQ(got.dates, c.dates) << "file: \"" << c.file << '"';
        EXPECT_EQ(got.console, c.console) << "file: \"" << c.file << '"';
    }
}

TEST(LoadHolidays, ExpiryTexts) {
    struct Case {
        const char* today;
        const char* last;
        std::string console;
    };
    const Case cases[] = {
        {TODAY, "12/06/26 20\n", EXPIRED},
        {TODAY, "12/07/26 20\n", "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = 0"},
        {TODAY, "02/04/27 20\n", "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = 59"},
        {TODAY, "02/05/27 20\n", ""},
        // today + 60 lies beyond the last 16-bit day number and must not wrap.
        {"04/10/79", "06/04/79 20\n", "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = 55"},
        {"06/04/79", "06/04/79 20\n", "NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = 0"},
    };
    for (const Case& c : cases) {
        std::string file = std::string("01/01/21 20\n") + c.last;
        EXPECT_EQ(load(file, c.today).console, c.console) << c.today << " " << c.last;
    }
}

TEST(LoadHolidays, TwoThousandDatesLoad) {
    EXPECT_EQ(load(many_lines(MAXHOLIDAYS), TODAY).dates.size(), 2000u);
}

TEST(LoadHolidays, FailuresHandOverToTheMergeBatch) {
    struct Case {
        std::string file;
        std::string notice;
    };
    const Case cases[] = {
        {"07/04/21 21\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = 07"},
        {"07/04/21 18\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = 07"},
        {"13/01/21 21\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = 13"}, // century first
        {"13/01/21 20\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = 13"},
        {"02/00/21 20\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = 02"},
        {"07/32/21 20\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = 07"},
        {"00/10/21 20\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = 00"},
        {"06/01/27 20\nab/cd/ef gh\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = ab"},
        // A short first line finds zeros in the columns beyond its end.
        {"12/5\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = 12"},
        {"12/25/2\n", "BAD CENTURY VALUE IN HOLIDAYS.KVL, LINE = 12"},
        // Of a line of 81 characters the rest "xx\n" is a line of its own, whose month
        // column reads 0 and whose later columns remain from the first piece.
        {"06/01/27 20" + std::string(70, 'x') + "\n", "ERROR IN HOLIDAYS.KVL FILE, LINE = xx"},
        {many_lines(MAXHOLIDAYS + 1), "TOO MANY HOLIDAYS, CAN'T LOAD HOLIDAY FILE INTO MEMORY"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rejected(&c.file), c.notice) << "file: \"" << c.file.substr(0, 40) << '"';
    EXPECT_EQ(rejected(nullptr), "ERROR, could not open the holiday file HOLIDAYS.KVL");
}

} // namespace
