// Tests of the notice writer: the exact bytes of notice blocks, and the console text and
// exit when the notice file cannot be opened.
#include "notices.h"

#include "fake_platform.h"
#include "sandbox.h"

#include <gtest/gtest.h>

namespace {

const std::string BANNER = "\n*******************     NOTICE     *************************\n\n";

TEST(AskMsg, WritesBannerTextAndTrailer) {
    struct Row {
        const char* message;
        std::string written; // what follows the banner
    };
    const Row rows[] = {
        {" ERROR, could not open the initialization file TELVOX.INI ",
         "ERROR, could not open the initialization file TELVOX.INI \n    "},
        {"A@B", "A B\n    "},
        {" @X", " X\n    "},
        {"   ", "\n    "},
        {"\nERROR - INVALID PASSWORD FOR COT AREA",
         "\nERROR - INVALID PASSWORD FOR COT AREA\n    "},
        {"\t tab stays", "\t tab stays\n    "},
        {"", "\n    "},
    };
    for (const Row& row : rows) {
        FakePlatform fake;
        ask_msg(row.message);
        EXPECT_EQ(fake.world.files[NOTICE_FILE], BANNER + row.written) << row.message;
        EXPECT_EQ(fake.world.console, "");
    }
}

TEST(AskMsg, TwoNoticesInAnEmptyFile) {
    FakePlatform fake;
    ask_msg("FIRST");
    ask_msg("SECOND");
    EXPECT_EQ(fake.world.files[NOTICE_FILE],
              "\n"
              "*******************     NOTICE     *************************\n"
              "\n"
              "FIRST\n"
              "    \n"
              "*******************     NOTICE     *************************\n"
              "\n"
              "SECOND\n"
              "    ");
    EXPECT_EQ(notice_block("FIRST") + notice_block("SECOND"), fake.world.files[NOTICE_FILE]);
}

TEST(AskMsg, AppendsToWhatIsThere) {
    FakePlatform fake;
    fake.world.files[NOTICE_FILE] = "old text\n";
    ask_msg("NEW");
    EXPECT_EQ(fake.world.files[NOTICE_FILE], "old text\n" + notice_block("NEW"));
}

TEST(AskMsg, OverlongMessageIsCutToTheWorkBuffer) {
    FakePlatform fake;
    ask_msg(std::string(300, 'M').c_str());
    EXPECT_EQ(fake.world.files[NOTICE_FILE], notice_block(std::string(198, 'M')));
}

TEST(AskMsg, UnopenableNoticeFileEndsTheProcessWithZero) {
    FakePlatform fake;
    fake.world.unopenable.insert(NOTICE_FILE);
    EXPECT_EQ(exit_status_of([] { ask_msg("LOST"); }), 0);
    EXPECT_EQ(fake.world.console, "\n\n\n\n\nCANNOT CREATE FILE TELVOX.MSG\n\n\n\n\n");
    EXPECT_EQ(fake.world.files.count(NOTICE_FILE), 0u);
    EXPECT_TRUE(fake.world.commands.empty());
}

// The same through the real platform, in a child process: a folder standing in the notice
// file's place and a missing install folder both make it unopenable.
TEST(AskMsgDeathTest, UnopenableOnTheRealFileSystem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (bool folder_in_place : {true, false}) {
        Sandbox box;
        if (folder_in_place)
            box.make_folder("QUARRINE/TELVOX.MSG");
        else
            std::filesystem::remove_all(box.drive() / "QUARRINE");
        setenv("ZELMORTH_ROOT", box.drive().c_str(), 1);
        EXPECT_EXIT(ask_msg("LOST"), ::testing::ExitedWithCode(0), "");
        unsetenv("ZELMORTH_ROOT");
        EXPECT_EQ(box.exists("QUARRINE/TELVOX.MSG"), folder_in_place);
    }
}

} // namespace
