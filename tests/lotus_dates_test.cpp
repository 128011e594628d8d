// Tests of Lotus day numbers: the conversion against an independent calendar, the date texts,
// today's date, and the decimal reading behind them.
#include "lotus_dates.h"

#include "fake_platform.h"
#include "globals.h"

#include <chrono>
#include <climits>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono;

TEST(DateToLotus, MatchesTheSerialDateOfEveryDayUpTo2079) {
    // The serial date is the count of days since 1899-12-30, computed by the standard
    // calendar; from 1900-03-01 on the Lotus number equals it.
    const sys_days epoch = year{1899} / December / 30;
    const sys_days last = year{2079} / June / 4;
    int mismatches = 0;
    for (sys_days d = sys_days{year{1900} / March / 1}; d <= last; d += days{1}) {
        year_month_day ymd{d};
        int want = static_cast<int>((d - epoch).count());
        int y = static_cast<int>(ymd.year());
        int m = static_cast<int>(unsigned(ymd.month()));
        int dd = static_cast<int>(unsigned(ymd.day()));
        int got = date_to_lotus(y, m, dd);
        if (got != want && ++mismatches <= 5)
            ADD_FAILURE() << y << "-" << m << "-" << dd << " gives " << got << ", serial date "
                          << want;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(DateToLotus, EdgesOfTheRule) {
    struct Case {
        int year, month, day;
        int want;
    };
    const Case cases[] = {
        {0, 0, 0, 0},          {1900, 1, 1, 2},     {1900, 2, 28, 60},    {1900, 3, 1, 61},
        {1999, 12, 31, 36525}, {2000, 1, 1, 36526}, {2000, 1, 15, 36540}, {2000, 2, 29, 36585},
        {2000, 2, 30, 36587},  {2000, 3, 1, 36586}, {2021, 2, 11, 44238}, {1999, 2, 30, 36221},
        {3921, 2, 11, 44238},  {3900, 1, 15, 7529}, {2079, 6, 4, 65535},  {2079, 6, 5, 0},
        {2099, 12, 31, 7514},
    };
    for (const Case& c : cases)
        EXPECT_EQ(date_to_lotus(c.year, c.month, c.day), c.want)
            << c.year << "-" << c.month << "-" << c.day;
    EXPECT_EQ(date_to_lotus(1999, 2, 30), date_to_lotus(1999, 3, 2));
}

TEST(DateScan, Texts) {
    struct Case {
        const char* text;
        int want;
    };
    const Case cases[] = {
        {"12/31/99", 36525},
        {"1/1/00", 0},         // year 0
        {"13/01/99", 0},       // month 13
        {"1/1/", 0},           // shorter than 5 characters
        {"1/1/9", 39814},      // 2009-01-01
        {"02/11/2021", 44238}, // 3921 counts like 2021
        {"02/11/21", 44238},
        {"12/31/1999", 7514}, // 3899-12-31 counts like 2099-12-31
        {"01/15/2000", 7529}, // 3900-01-15
        {"03/01/2000", 36586},
        {"12/31/99\n", 36525}, // as a settings value may end
        {" 7/ 4/ 21", 44381},  // leading blanks in each field
        {"+7/+4/+21", 44381},
        {"07/04/49", 54608}, // 2049
        {"07/04/50", 18448}, // 1950
        {"12/32/99", 0},     // day 32
        {"-1/01/99", 0},     // negative month
        {"01/-1/99", 0},
        {"00/10/99", 0},
        {"01/00/99", 0},
        {"NONE", 0},
        {"NONE!", 0},   // no '/' at all
        {"10/1099", 0}, // the day field has no end
        {"AB/CD/EF", 0},
        {"07/04/XX", 0},
        {"07/04/99999999999", date_to_lotus(2047, 7, 4)}, // saturates, then only 47 counts
        {"07/04/-99999999999", date_to_lotus(2000 + INT_MIN, 7, 4)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(date_scan(c.text), c.want) << '"' << c.text << '"';
}

TEST(DateScan, FieldLongerThanTheWorkBufferGivesZero) {
    std::string month_99 = std::string(97, ' ') + "07/04/21";
    std::string month_100 = std::string(98, ' ') + "07/04/21";
    std::string day_100 = "07/" + std::string(98, ' ') + "04/21";
    EXPECT_EQ(date_scan(month_99.c_str()), 44381);
    EXPECT_EQ(date_scan(month_100.c_str()), 0);
    EXPECT_EQ(date_scan(day_100.c_str()), 0);
}

TEST(GetTodaysDate, FillsTheFourFieldsFromThePlatformDate) {
    FakePlatform fake;
    fake.world.today = "02/11/21";
    get_todays_date();
    EXPECT_EQ(todays_year, 2021);
    EXPECT_EQ(todays_month, 2);
    EXPECT_EQ(todays_day, 11);
    EXPECT_EQ(todays_date, 44238);
    fake.world.today = "12/31/99";
    get_todays_date();
    EXPECT_EQ(todays_year, 2099);
    EXPECT_EQ(todays_date, 7514);
}

} // namespace
