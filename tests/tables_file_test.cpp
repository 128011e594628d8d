// Tests of the commodity tables loader: the values it leaves in the tables, the two body-line
// scans, and the notice and status of every way it refuses a file.
#include "tables_file.h"

#include "fake_platform.h"
#include "notices.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status;         // -1 when load_tables returned (it returns only on success)
    std::string notice; // the notice file afterwards
};

// Loads text as the tables file into freshly cleared tables.
Outcome load(const std::string& text) {
    numcom = 0;
    for (int* t : {roll_day, roll_month, precision, bytes, compu_trac})
        std::memset(t, 0, sizeof(int) * MAXCOMMODITIES);
    std::memset(mynames, 0, sizeof mynames);
    std::memset(ticker, 0, sizeof ticker);
    std::memset(all_tag, 0, sizeof all_tag);
    std::memset(active_months, 0, sizeof active_months);
    FakePlatform fake;
    fake.world.files[TABLES_FILE] = text;
    Outcome out{-1, ""};
    try {
        EXPECT_EQ(load_tables(), 0);
    } catch (const ProcessEnded& end) {
        out.status = end.status;
    }
    out.notice = fake.world.files[NOTICE_FILE];
    return out;
}

// A valid six-commodity file; spare slots 6 and 7 of the numeric tables hold values that
// break the rules but are never validated.
const char* const SIX[7] = {
    "[roll_day]\n15,15,20,15\n-5,15,1,1\n",
    "[roll_month]\n0,1,0,1\n0,0,7,9\n",
    "[precision]\n2,2,-2,0\n-7, 7, 99, 99\n",
    "[bytes]\n2,2,3,4\n2 4 0 0\n",
    "[compu_trac]\n2,2,-2,0\n7;-7;-8;8\n",
    "[mynames]\nSP S&P 500 INDEX\nGC GOLD\nCL CRUDE OIL\nW WHEAT\nC CORN\nJY JAPANESE YEN\n",
    ("[all_tag]\n1HHMMUUZZHHMM 1GJMQVZGJMQVZ 2FGHJKMNQUVXZ 3HKNUZHKNUZHK\n"
     "4FHKNUZFHKNUZ\t5ZZFFHHKKNNUU\n"),
};

std::string six(const std::vector<int>& order = {0, 1, 2, 3, 4, 5, 6}) {
    std::string s = "; six commodities\n[numcom] = 6\n";
    for (int t : order)
        s += SIX[t];
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string all;
    for (int i = 0; i < n; ++i)
        all += s;
    return all;
}

// A valid file for n commodities.
std::string valid_file(int n) {
    std::string s = "[numcom]=" + std::to_string(n) + "\n";
    int lines = n > 0 ? (n + 3) / 4 : 0;
    const char* const others[4][2] = {{"roll_month", "1,0,1,0\n"},
                                      {"precision", "-7,7,0,1\n"},
                                      {"bytes", "2,3,4,2\n"},
                                      {"compu_trac", "7,-7,0,1\n"}};
    s += "[roll_day]\n";
    for (int k = 0; k < lines; ++k)
        s += std::to_string(k) + ",1,0,3\n";
    for (auto [name, line] : others)
        s += std::string("[") + name + "]\n" + repeat(line, lines);
    s += "[mynames]\n";
    for (int i = 0; i < n; ++i)
        s += "N" + std::to_string(i) + "\n";
    s += "[all_tag]\n";
    for (int k = 0; k < lines; ++k)
        s += "xFGHJKMNQUVXZ yFGHJKMNQUVXZ zFGHJKMNQUVXZ wZZFFHHKKNNUU\n";
    return s;
}

void expect_six_loaded(const std::string& file, const std::string& label) {
    Outcome r = load(file);
    ASSERT_EQ(r.status, -1) << label << "\n" << r.notice;
    EXPECT_EQ(numcom, 6) << label;
    EXPECT_EQ(std::vector<int>(roll_day, roll_day + 8),
              (std::vector<int>{15, 15, 20, 15, -5, 15, 1, 1}));
    EXPECT_EQ(std::vector<int>(roll_month, roll_month + 8),
              (std::vector<int>{0, 1, 0, 1, 0, 0, 7, 9}));
    EXPECT_EQ(std::vector<int>(precision, precision + 8),
              (std::vector<int>{2, 2, -2, 0, -7, 7, 99, 99}));
    EXPECT_EQ(std::vector<int>(bytes, bytes + 8), (std::vector<int>{2, 2, 3, 4, 2, 4, 0, 0}));
    EXPECT_EQ(std::vector<int>(compu_trac, compu_trac + 8),
              (std::vector<int>{2, 2, -2, 0, 7, -7, -8, 8}));
    const char* names[6] = {"SP S&P 500 INDEX",  "GC GOLD\n        ", "CL CRUDE OIL\n   ",
                            "W WHEAT\n        ", "C CORN\n         ", "JY JAPANESE YEN\n"};
    const char* tickers[6] = {"SP", "GC", "CL", "W ", "C ", "JY"};
    const char* tags[6] = {"1HHMMUUZZHHMM", "1GJMQVZGJMQVZ", "2FGHJKMNQUVXZ",
                           "3HKNUZHKNUZHK", "4FHKNUZFHKNUZ", "5ZZFFHHKKNNUU"};
    const char* months[6] = {"HMUZ", "GJMQVZ", "FGHJKMNQUVXZ", "HKNUZ", "FHKNUZ", "Z"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(mynames[i], names[i]) << label << " commodity " << i;
        EXPECT_STREQ(ticker[i], tickers[i]) << label << " commodity " << i;
        EXPECT_STREQ(all_tag[i], tags[i]) << label << " commodity " << i;
        EXPECT_STREQ(active_months[i], months[i]) << label << " commodity " << i;
    }
}

TEST(LoadTables, ValidFileInAnyOrderAndCaseOfHeaders) {
    expect_six_loaded(six(), "in order");
    expect_six_loaded(six({6, 5, 4, 3, 2, 1, 0}), "reversed");
    expect_six_loaded(six({3, 6, 0, 5, 2, 4, 1}), "mixed");
    std::string s = six();
    for (auto [from, to] : {std::pair{"[roll_day]", "[ROLL]"},
                            {"[roll_month]", "[Roll_M] months"},
                            {"[precision]", "[PREC]"},
                            {"[bytes]", "[b]   "},
                            {"[compu_trac]", "[COMPU_TRAC]"},
                            {"[mynames]", "[MYN]"},
                            {"[all_tag]", "[A]xyzw"}})
        s.replace(s.find(from), std::strlen(from), to);
    expect_six_loaded(s, "abbreviated headers");
    // Lines before the count line, headers among them, are ignored; so is a table that no name
    // selects, with its body.
    expect_six_loaded("[bytes]\n9,9,9,9\n x[numcom]=9\n[NumCom_x]= 6 \n" + std::string(SIX[0]) +
                          "[roll_days]\n9,9,9,9\n[numcom]=9\n" + SIX[1] + SIX[2] + SIX[3] + SIX[4] +
                          SIX[5] + SIX[6],
                      "ignored lines");
}

TEST(LoadTables, Counts) {
    struct Row {
        std::string file;
        int numcom;
    };
    std::string seven = "[roll_day]\n[roll_month]\n[precision]\n[bytes]\n[compu_trac]\n"
                        "[mynames]\n[all_tag]\n";
    const Row rows[] = {
        {valid_file(0), 0},
        {valid_file(6), 6},
        {valid_file(9), 9},
        {valid_file(100), 100},
        {"[numcom]\n" + seven, 0},
        {"[NUMCOM] = -3\n" + seven, -3},
        {"[numcom]=-4294967297\n" + seven, INT_MIN},
        {"[numcom]=\t+0x9\n" + seven, 0},
        {"[numcom]=0\n[r]   \n[roll]\n[ROLL_DAY]\n[]    \n[roll_d]\n[rOlL_dA]\n[roll_day]\n", 0},
        {"[numcom]=4\n" + repeat("[roll_day]\n1,2,3,4\n", 7), 4},
    };
    for (const Row& row : rows) {
        Outcome r = load(row.file);
        EXPECT_EQ(r.status, -1) << row.file << r.notice;
        EXPECT_EQ(numcom, row.numcom) << row.file;
    }
    load(valid_file(100));
    EXPECT_STREQ(mynames[99], "N99\n            ");
    EXPECT_STREQ(active_months[99], "Z");
    EXPECT_EQ(roll_day[99], 3);
}

TEST(ScanFourInts, CountsConversionsAsTheScanFormatDoes) {
    struct Row {
        const char* line;
        int count;
        std::vector<int> values; // the first count-derived values stored
    };
    const Row rows[] = {
        {"1, 2, 3, 4", 7, {1, 2, 3, 4}},
        {"1,2,3,4x9\n", 7, {1, 2, 3, 4}},
        {"1  2 3 4", 7, {1, 2, 3, 4}},
        {" \t1\v2\f3\r+4", 7, {1, 2, 3, 4}},
        {"-1;+2;-0;7", 7, {-1, 2, 0, 7}},
        {"1 ,2,3,4", 2, {1}},
        {"1,,2,3", 2, {1}},
        {"1,2,3", 5, {1, 2, 3}},
        {"1,2,3,", 6, {1, 2, 3}},
        {"1,2,3,\n", 6, {1, 2, 3}},
        {"7", 1, {7}},
        {"-", 0, {}},
        {"x1,2,3,4", 0, {}},
        {"", -1, {}},
        {" \n", -1, {}},
        {"4294967297,-4294967297,2147483648,-2147483649", 7, {INT_MAX, INT_MIN, INT_MAX, INT_MIN}},
        {"2147483647,-2147483648,000000000000000000000000000005,99999999999999999999999999",
         7,
         {INT_MAX, INT_MIN, 5, INT_MAX}},
    };
    for (const Row& row : rows) {
        int out[4] = {11, 11, 11, 11};
        EXPECT_EQ(scan_four_ints(row.line, out), row.count) << row.line;
        std::vector<int> expected = row.values;
        expected.resize(4, 11); // slots the scan did not reach keep their value
        EXPECT_EQ(std::vector<int>(out, out + 4), expected) << row.line;
    }
}

TEST(ScanFourWords, LongWordsGiveTheir14thCharacterAsSeparator) {
    struct Row {
        const char* line;
        int count;
        std::vector<std::string> words;
    };
    const Row rows[] = {
        {"A B C D E", 7, {"A", "B", "C", "D"}},
        {"A\tB\nC D", 7, {"A", "B", "C", "D"}},
        {"  ABCDEFGHIJKLMNOPQ R", 5, {"ABCDEFGHIJKLM", "OPQ", "R", "old"}},
        {"ABCDEFGHIJKLMZBBCDEFGHIJKLM C D", 7, {"ABCDEFGHIJKLM", "BBCDEFGHIJKLM", "C", "D"}},
        {"ABCDEFGHIJKLM\n", 2, {"ABCDEFGHIJKLM", "old", "old", "old"}},
        {"A", 1, {"A", "old", "old", "old"}},
        {"  ", -1, {"old", "old", "old", "old"}},
    };
    for (const Row& row : rows) {
        char out[4][TAG_SLOT] = {"old", "old", "old", "old"};
        EXPECT_EQ(scan_four_words(row.line, out), row.count) << row.line;
        EXPECT_EQ(std::vector<std::string>(out, out + 4), row.words) << row.line;
    }
}

// Replaces the first occurrence of from in text.
std::string with(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(LoadTables, EveryRefusalWritesItsNoticeAndEndsWithStatusOne) {
    struct Row {
        std::string file;
        std::string message;
    };
    const std::string nine = valid_file(9);
    const Row rows[] = {
        {"; no count line\n[roll_day]\n1,2,3,4\n",
         "SUPPORT FILE \"TABLES.INI\" IS MISSING LINE ENTRY: [numcom]"},
        {"[numcom]=0", "SUPPORT FILE \"TABLES.INI\" IS MISSING LINE ENTRY: [numcom]"},
        {six({0, 1, 2, 3, 4, 5}), "SUPPORT FILE \"TABLES.INI\" DOES NOT CONTAIN 7 TABLES"},
        {six({0, 1, 2, 3, 4, 5}) + "[all_tag]",
         "SUPPORT FILE \"TABLES.INI\" DOES NOT CONTAIN 7 TABLES"},
        // A header line needs 6 characters, its newline counted: "[by]" is an ordinary line.
        {with(six(), "[bytes]", "[by]"), "SUPPORT FILE \"TABLES.INI\" DOES NOT CONTAIN 7 TABLES"},
        {with(six(), "[bytes]", "[bytes"), "INVALID TABLE HEADER IN FILE \"TABLES.INI\""},
        {"[numcom]=0\n[" + std::string(29, 'x') + "]\n",
         "INVALID TABLE HEADER IN FILE \"TABLES.INI\""},
        {valid_file(101), "ERROR - INVALID numcom ENTRY IN \"TABLES.INI\" FILE"},
        {"[numcom] = 4294967297\n", "ERROR - INVALID numcom ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "15,15,20,15", "1,2,3"), "ERROR-LINE 1 IN TABLE roll_day INVALID"},
        {with(nine, "[bytes]\n2,3,4,2\n2,3,4,2\n2,3,4,2", "[BYTES]\n2,3,4,2\n2,3,4,2\n2,3,4"),
         "ERROR-LINE 3 IN TABLE bytes INVALID"},
        {with(nine, "[bytes]\n2,3,4,2\n2,3,4,2", "[bytes]\n9,3,4,2\n2,3;;4,2"),
         "ERROR-LINE 2 IN TABLE bytes INVALID"},
        {with(six(), "0,1,0,1", "2,1,0,1"),
         "ERROR - INVALID roll_month ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "0,1,0,1", "4294967297,1,0,1"),
         "ERROR - INVALID roll_month ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "-7, 7", "-8, 7"), "ERROR - INVALID precision ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "2 4 0 0", "2 5 0 0"), "ERROR - INVALID bytes ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "7;-7", "8;-7"), "ERROR - INVALID compu_trac ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "2FGHJKMNQUVXZ", "2FGHJKMNQUVX"),
         "ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "2FGHJKMNQUVXZ", "2FGHJKMNqUVXZ"),
         "ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE"},
        {with(six(), "\t5ZZFFHHKKNNUU", ""),
         "ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE"},
    };
    for (const Row& row : rows) {
        Outcome r = load(row.file);
        EXPECT_EQ(r.status, 1) << row.file;
        EXPECT_EQ(r.notice, notice_block(row.message)) << row.file;
    }
    FakePlatform fake;
    EXPECT_EQ(exit_status_of([] { load_tables(); }), 1);
    EXPECT_EQ(fake.world.files[NOTICE_FILE],
              notice_block("ERROR -  FILE \" TABLES.INI\" MISSING FROM \\QUARRINE FOLDER."));
}

TEST(LoadTables, RefusedCountWritesNothingIntoTheTables) {
    load(valid_file(101));
    EXPECT_EQ(numcom, 101);
    for (int i = 0; i < MAXCOMMODITIES; ++i)
        EXPECT_TRUE(roll_day[i] == 0 && mynames[i][0] == '\0' && all_tag[i][0] == '\0') << i;
}

TEST(LoadTables, AHeaderThatIsTheLastLineIsItsOwnBody) {
    std::vector<int> others = {0, 1, 2, 3, 4, 6};
    EXPECT_EQ(load(six(others) + "[mynames]\n").status, -1);
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(mynames[i], "[mynames]\n      ") << i;
    EXPECT_STREQ(ticker[5], "[m");
    const char* numeric[5] = {"roll_day", "roll_month", "precision", "bytes", "compu_trac"};
    for (int t = 0; t < 5; ++t) {
        std::vector<int> rest;
        for (int o = 0; o < 7; ++o)
            if (o != t)
                rest.push_back(o);
        Outcome r = load(six(rest) + "[" + numeric[t] + "]\n");
        EXPECT_EQ(r.notice,
                  notice_block("ERROR-LINE 1 IN TABLE " + std::string(numeric[t]) + " INVALID"));
    }
    EXPECT_EQ(load(six({0, 1, 2, 3, 4, 5}) + "[all_tag]\n").notice,
              notice_block("ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE"));
    // With no commodities no body line is read at all.
    EXPECT_EQ(load(with(six({0, 1, 2, 3, 4, 5, 6, 0}), "= 6", "= 0") + "[bytes]\n").status, -1);
}

TEST(LoadTables, ABodyCutShortRepeatsItsLastLine) {
    Outcome r = load(six({1, 2, 3, 4, 5, 6}) + "[roll_day]\n15,15,20,15\n-5,15,1,1");
    EXPECT_EQ(r.status, -1) << r.notice;
    EXPECT_EQ(std::vector<int>(roll_day, roll_day + 8),
              (std::vector<int>{15, 15, 20, 15, -5, 15, 1, 1}));

    r = load(six({0, 1, 2, 3, 4, 6}) + "[mynames]\nSP\nGC\nCL CRUDE OIL");
    EXPECT_EQ(r.status, -1) << r.notice;
    const char* names[6] = {"SP\n             ", "GC\n             ", "CL CRUDE OIL    ",
                            "CL CRUDE OIL    ",  "CL CRUDE OIL    ",  "CL CRUDE OIL    "};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(mynames[i], names[i]) << i;

    r = load(six({0, 1, 2, 3, 4, 5}) + "[all_tag]\n1HHMMUUZZHHMM 1GJMQVZGJMQVZ 2FGHJKMNQUVXZ 3H\n");
    EXPECT_EQ(r.notice, notice_block("ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE"));
}

TEST(LoadTables, LongBodyLinesArriveInPiecesOf99) {
    std::string long_name = "LN" + std::string(97, 'a') + "TAIL\n"; // 99 characters, then 5
    Outcome r = load(with(six(), "W WHEAT\nC CORN\n", long_name));
    EXPECT_EQ(r.status, -1) << r.notice;
    EXPECT_STREQ(mynames[3], ("LN" + std::string(14, 'a')).c_str());
    EXPECT_STREQ(mynames[4], "TAIL\n           ");
    EXPECT_STREQ(ticker[4], "TA");
}

TEST(LoadTables, AnEarlierTagTableFillsWordsALaterOneLacks) {
    std::string tags = "[all_tag]\nAFGHJKMNQUVXZ BFGHJKMNQUVXZ CFGHJKMNQUVXZ DFHKNUZFHKNUZ\n";
    std::string short_tags = "[all_tag]\nAZZZZZZZZZZZZ BFGHJKMNQUVXZ\n";
    std::string file =
        "[numcom]=4\n" + repeat("[roll_day]\n1,2,3,4\n", 5) + "[mynames]\nA\nB\nC\nD\n";
    EXPECT_EQ(load(file + tags + short_tags).status, -1);
    EXPECT_STREQ(active_months[0], "Z");
    EXPECT_STREQ(active_months[3], "FHKNUZ");
    EXPECT_EQ(load(file + short_tags + "[bytes]\n2,2,2,2\n").notice,
              notice_block("ERROR - INVALID all_tag ENTRY IN \"TABLES.INI\" FILE"));
}

} // namespace
