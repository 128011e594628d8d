// Tests of the abort paths: crash, the merge batch and its start in place of the process.
#include "abort.h"

#include "fake_platform.h"
#include "notices.h"
#include "sandbox.h"

#include <gtest/gtest.h>

namespace {

const std::string BATCH = "@ECHO OFF\n"
                          "START TELVOX /M\n"
                          "START HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                          "START HALTBOX \"Finished_-_Merge\" 1000\n";

TEST(Crash, WritesOneNoticeAndEndsWithZero) {
    FakePlatform fake;
    EXPECT_EQ(exit_status_of([] { crash("STOPPED HERE"); }), 0);
    EXPECT_EQ(fake.world.files[NOTICE_FILE], notice_block("STOPPED HERE"));
    EXPECT_EQ(fake.world.files.count(MERGE_BATCH), 0u);
    EXPECT_TRUE(fake.world.overlays.empty());
}

TEST(CreateMerge, WritesTheFourLinesOverAReadOnlyBatch) {
    FakePlatform fake;
    fake.world.files[MERGE_BATCH] = "old batch\n";
    fake.world.read_only.insert(MERGE_BATCH);
    EXPECT_EQ(create_merge(), 0);
    EXPECT_EQ(fake.world.files[MERGE_BATCH], BATCH);
}

TEST(CreateMerge, UnwritableBatchGivesMinusOne) {
    FakePlatform fake;
    fake.world.unopenable.insert(MERGE_BATCH);
    EXPECT_EQ(create_merge(), -1);
}

TEST(CrashMerge, StartsTheBatchInPlaceOfTheProcess) {
    FakePlatform fake;
    try {
        crash_merge();
        ADD_FAILURE() << "crash_merge returned";
    } catch (const ProcessReplaced& replaced) {
        EXPECT_EQ(replaced.path, MERGE_BATCH);
    }
    EXPECT_EQ(fake.world.files[MERGE_BATCH], BATCH);
}

TEST(CrashMerge, EndsWithZeroWhenTheBatchCannotStart) {
    FakePlatform fake;
    fake.world.unopenable.insert(MERGE_BATCH);
    EXPECT_EQ(exit_status_of([] { crash_merge(); }), 0);
    EXPECT_EQ(fake.world.overlays, std::vector<std::string>{MERGE_BATCH});
}

// On the real platform the batch replaces the process: the stand-ins record what it ran.
TEST(CrashMergeDeathTest, BatchRunsInThePlaceOfTheProcess) {
    GTEST_FLAG_SET(death_test_style, "fast");
    Sandbox box;
    box.write("QUARRINE/merge.bat", "stale\n");
    std::filesystem::permissions(box.drive() / "QUARRINE/merge.bat",
                                 std::filesystem::perms::owner_read);
    std::string saved_path = getenv("PATH");
    setenv("ZELMORTH_ROOT", box.drive().c_str(), 1);
    setenv("PATH", ((box.drive().parent_path() / "bin").string() + ":" + saved_path).c_str(), 1);
    EXPECT_EXIT(crash_merge(), ::testing::ExitedWithCode(0), "");
    setenv("PATH", saved_path.c_str(), 1);
    unsetenv("ZELMORTH_ROOT");
    EXPECT_EQ(box.read("QUARRINE/merge.bat"), BATCH);
    EXPECT_EQ(box.calls(), (std::vector<std::string>{
                               "@ECHO OFF",
                               "START TELVOX /M",
                               "TELVOX /M",
                               "START HALTBOX Finished_-_Zelmorth 1000",
                               "HALTBOX Finished_-_Zelmorth 1000",
                               "START HALTBOX Finished_-_Merge 1000",
                               "HALTBOX Finished_-_Merge 1000",
                           }));
}

TEST(CrashMergeDeathTest, MissingInstallFolderEndsWithZero) {
    GTEST_FLAG_SET(death_test_style, "fast");
    Sandbox box;
    std::filesystem::remove_all(box.drive() / "QUARRINE");
    setenv("ZELMORTH_ROOT", box.drive().c_str(), 1);
    EXPECT_EXIT(crash_merge(), ::testing::ExitedWithCode(0), "");
    unsetenv("ZELMORTH_ROOT");
    EXPECT_TRUE(box.calls().empty());
}

} // namespace
