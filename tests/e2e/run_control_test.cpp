// End-to-end tests of the run sequence: what the program deletes, what it runs, and how it
// ends, seen from outside through the built program.
#include "sandbox.h"

#include <gtest/gtest.h>

namespace {

// Fills the drive with the files every run expects plus the three that the run deletes.
void lay_install(const Sandbox& box) {
    box.lay_support_files();
    box.lay_leftovers();
    box.write("QUARRINE/UPDATES/0218.IDX", "data\n");
}

TEST(RunSequence, DeletesTheLeftoversAndRunsTheUpdater) {
    Sandbox box;
    lay_install(box);
    auto before = box.files();
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    auto expected = before;
    expected.erase("QUARRINE/TELVOX.LOG");
    expected.erase("QUARRINE/TEMPZIP.BAT");
    expected.erase("QUARRINE/UPDATES/SYMBOLS.TXT");
    EXPECT_EQ(box.files(), expected);
    EXPECT_EQ(box.calls(), std::vector<std::string>{"TELVOX.EXE /M [in /QUARRINE]"});
}

TEST(RunSequence, EndsWithZeroWhateverTheUpdaterReturns) {
    for (int status : {0, 1, 3, 255}) {
        Sandbox box;
        lay_install(box);
        box.set_updater_status(status);
        RunResult r = box.run();
        EXPECT_EQ(r.status, 0) << "updater status " << status;
        EXPECT_EQ(box.calls().size(), 1u);
    }
}

TEST(RunSequence, MissingLeftoversAndMissingUpdaterAreNoError) {
    Sandbox box;
    box.lay_support_files();
    auto before = box.files();
    std::filesystem::remove(box.drive().parent_path() / "bin" / "TELVOX.EXE");
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.files(), before);
}

TEST(RunSequence, ArgumentsChangeNothing) {
    Sandbox plain, with_args;
    lay_install(plain);
    lay_install(with_args);
    RunResult a = plain.run();
    RunResult b = with_args.run({"/X", "--help", "TELVOX.MSG"});
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.console, b.console);
    EXPECT_EQ(plain.files(), with_args.files());
    EXPECT_EQ(plain.calls(), with_args.calls());
}

// A support file that opens but cannot be read, as on a network drive that is dropped or a bad
// sector: /proc/self/mem opens, and its first read fails, since nothing is mapped at its start.
// The run, and the check before it, end as they do when the file is missing.
TEST(RunSequence, ASupportFileThatCannotBeReadEndsAsAMissingOne) {
    for (const char* rel :
         {"QUARRINE/TABLES.INI", "QUARRINE/TELVOX.INI", "QUARRINE/HOLIDAYS.KVL"}) {
        SCOPED_TRACE(rel);
        Sandbox missing, unreadable;
        for (const Sandbox* box : {&missing, &unreadable}) {
            lay_install(*box);
            std::filesystem::remove(box->drive() / rel);
        }
        std::filesystem::create_symlink("/proc/self/mem", unreadable.drive() / rel);
        RunResult a = missing.run();
        RunResult b = unreadable.run();
        EXPECT_EQ(b.status, a.status);
        EXPECT_EQ(b.console, a.console);
        auto files = unreadable.files();
        files.erase(rel);
        EXPECT_EQ(files, missing.files());
        EXPECT_EQ(unreadable.calls(), missing.calls());
    }
}

} // namespace
