// End-to-end tests of the commodity tables file: a refused file ends the run with status 1
// and its notice, before anything is deleted or started; an accepted one lets the run go on.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string with(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

// The valid support files plus what a run would delete and an empty update to clean up.
void lay_install(const Sandbox& box) {
    box.lay_support_files();
    box.lay_leftovers();
    box.write("QUARRINE/UPDATES/0218.CLC", "");
}

TEST(TablesFile, ARefusedFileEndsTheRunBeforeAnythingElse) {
    struct Row {
        std::string (*change)(const std::string& valid); // nullptr: no TABLES.INI at all
        std::string message;
    };
    const Row rows[] = {
        {nullptr, "ERROR -  FILE \" TABLES.INI\" MISSING FROM \\QUARRINE FOLDER."},
        {[](const std::string& t) { return with(t, "[numcom]", "[count]"); },
         "SUPPORT FILE \"TABLES.INI\" IS MISSING LINE ENTRY: [numcom]"},
        {[](const std::string& t) { return with(t, "[numcom] = 6", "[NUMCOM] = 101"); },
         "ERROR - INVALID numcom ENTRY IN \"TABLES.INI\" FILE"},
        {[](const std::string& t) { return with(t, "[all_tag]", "[tags]"); },
         "SUPPORT FILE \"TABLES.INI\" DOES NOT CONTAIN 7 TABLES"},
        {[](const std::string& t) { return with(t, "[bytes]", "[bytes"); },
         "INVALID TABLE HEADER IN FILE \"TABLES.INI\""},
        {[](const std::string& t) { return with(t, "2,2,3,4\n2,2,2,2", "2,2,3,4\n2 ,2,2,2"); },
         "ERROR-LINE 2 IN TABLE bytes INVALID"},
        {[](const std::string& t) { return with(t, "0,1,0,1", "4294967297,1,0,1"); },
         "ERROR - INVALID roll_month ENTRY IN \"TABLES.INI\" FILE"},
    };
    for (const Row& row : rows) {
        Sandbox box;
        lay_install(box);
        std::string valid = *box.read("QUARRINE/TABLES.INI");
        if (row.change == nullptr)
            std::filesystem::remove(box.drive() / "QUARRINE" / "TABLES.INI");
        else
            box.write("QUARRINE/TABLES.INI", row.change(valid));
        auto expected = box.files();
        expected["QUARRINE/TELVOX.MSG"] = notice_block(row.message);
        RunResult r = box.run();
        EXPECT_EQ(r.status, 1) << row.message;
        EXPECT_EQ(r.console, "") << row.message;
        EXPECT_EQ(box.files(), expected) << row.message;
        EXPECT_TRUE(box.calls().empty()) << row.message;
    }
}

TEST(TablesFile, WindowsLineEndsAndMixedCaseHeadersLoad) {
    Sandbox box;
    lay_install(box);
    std::string text = with(*box.read("QUARRINE/TABLES.INI"), "[compu_trac]", "[COMPU]");
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    box.write("QUARRINE/TABLES.INI", crlf);
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(box.exists("QUARRINE/TELVOX.MSG"));
    EXPECT_FALSE(box.exists("QUARRINE/TELVOX.LOG"));
    EXPECT_EQ(box.calls(), std::vector<std::string>{"TELVOX.EXE /M [in /QUARRINE]"});
}

} // namespace
