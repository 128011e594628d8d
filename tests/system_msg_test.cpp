// Tests of the system message relay: what it appends to the notice file under the line rule,
// and its silence when either file cannot be opened.
#include "system_msg.h"

#include "fake_platform.h"
#include "notices.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

TEST(ProcessSystemMsg, CopiesLinesUnderTheLineRule) {
    const std::string x149(149, 'x'), y300(300, 'y');
    struct Row {
        const char* name;
        std::string message;
        std::optional<std::string> notices_before; // nullopt: no notice file yet
        std::string notices_after;
    };
    const Row rows[] = {
        {"two lines", "FIRST\nSECOND\n", std::nullopt, "FIRST\nSECOND\n"},
        {"short last line without end", "FIRST\nlast", "old\n", "old\nFIRST\n"},
        {"last line of 149 without end", "FIRST\n" + x149, std::nullopt, "FIRST\n" + x149},
        {"last line of 150 without end", "FIRST\n" + x149 + "z", std::nullopt, "FIRST\n" + x149},
        {"line of 300", y300 + "\n", std::nullopt, y300 + "\n"},
        {"empty file", "", std::nullopt, ""},
        {"empty lines", "\n\n", std::nullopt, "\n\n"},
        {"after a notice trailer", "SYS\n", notice_block("OLD"), notice_block("OLD") + "SYS\n"},
    };
    for (const Row& row : rows) {
        FakePlatform fake;
        fake.world.files[SYSTEM_MSG_FILE] = row.message;
        if (row.notices_before)
            fake.world.files[NOTICE_FILE] = *row.notices_before;
        EXPECT_EQ(process_system_msg(), 0);
        ASSERT_EQ(fake.world.files.count(NOTICE_FILE), 1u) << row.name;
        EXPECT_EQ(fake.world.files[NOTICE_FILE], row.notices_after) << row.name;
        EXPECT_EQ(fake.world.files[SYSTEM_MSG_FILE], row.message) << row.name;
    }
}

// Pieces are written as strings, so a NUL byte cuts its own piece only; the relay must keep
// the piece boundaries of 149 characters and of each line even when it copies in bulk.
TEST(ProcessSystemMsg, NulByteEndsOnlyItsOwnPiece) {
    using namespace std::string_literals;
    const std::string x148(148, 'x'), y100(100, 'y');
    struct Row {
        const char* name;
        std::string message;
        std::string notices_after;
    };
    const Row rows[] = {
        {"NUL in a short line", "AB\0CD\nEF\n"s, "ABEF\n"},
        {"NUL in the first of two pieces", "A\0"s + x148 + y100 + "\n", "Ax" + y100 + "\n"},
        {"NUL in the second piece", x148 + "Z" + "B\0C\n"s, x148 + "ZB"},
        {"NUL at a line start", "\0abc\nnext\n"s, "next\n"},
    };
    for (const Row& row : rows) {
        FakePlatform fake;
        fake.world.files[SYSTEM_MSG_FILE] = row.message;
        process_system_msg();
        EXPECT_EQ(fake.world.files[NOTICE_FILE], row.notices_after) << row.name;
    }
}

TEST(ProcessSystemMsg, SilentWhenAFileCannotBeOpened) {
    {
        FakePlatform fake; // no system message: the notice file is not even created
        EXPECT_EQ(process_system_msg(), 0);
        EXPECT_TRUE(fake.world.files.empty());
    }
    FakePlatform fake;
    fake.world.files[SYSTEM_MSG_FILE] = "SYS\n";
    fake.world.unopenable.insert(NOTICE_FILE);
    EXPECT_EQ(process_system_msg(), 0); // returns: neither console text nor end of process
    EXPECT_EQ(fake.world.console, "");
    EXPECT_EQ(fake.world.files, (std::map<std::string, std::string>{{SYSTEM_MSG_FILE, "SYS\n"}}));
}

} // namespace
