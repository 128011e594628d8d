// End-to-end tests of the settings stage, seen through the built program.
#include "sandbox.h"

#include <gtest/gtest.h>

namespace {

TEST(Settings, MissingFileEndsTheRunAfterTheFirstDeletions) {
    Sandbox box;
    box.lay_support_files();
    std::filesystem::remove(box.drive() / "QUARRINE/TELVOX.INI");
    box.write("QUARRINE/TELVOX.LOG", "old log\n");
    box.write("QUARRINE/UPDATES/SYMBOLS.TXT", "SP,GC\n");
    auto before = box.files();
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    auto expected = before;
    expected.erase("QUARRINE/TELVOX.LOG");
    expected["QUARRINE/TELVOX.MSG"] =
        notice_block("ERROR, could not open the initialization file TELVOX.INI ");
    EXPECT_EQ(box.files(), expected); // no merge batch, SYMBOLS.TXT still there
    EXPECT_TRUE(box.calls().empty());
}

TEST(Settings, AnyReadableFileLetsTheRunGoOn) {
    for (const char* file : {"", "garbage without equals\n", "USER ID = X"}) {
        Sandbox box;
        box.lay_support_files();
        box.write("QUARRINE/TELVOX.INI", file);
        RunResult r = box.run();
        EXPECT_EQ(r.status, 0) << file;
        EXPECT_FALSE(box.exists("QUARRINE/TELVOX.MSG")) << file;
        EXPECT_EQ(box.calls(), std::vector<std::string>{"TELVOX.EXE /M [in /QUARRINE]"}) << file;
    }
}

} // namespace
