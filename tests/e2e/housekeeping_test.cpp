// End-to-end tests of the housekeeping after the download: the empty update files go, the
// system messages and refused log-ins reach the notice file, and the updater runs after.
#include "sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

const std::string HOST_PATH = "https://download.quarrine.example/updates/";
const std::string UPDATER = "TELVOX.EXE /M [in /QUARRINE]";

// The typical run: an empty CLC and a non-empty IDX file, two system message lines, and a web
// log whose last transfer line names a COT file and is followed by a refused log-in.
void lay_typical(const Sandbox& box) {
    box.lay_support_files();
    box.write("QUARRINE/TELVOX.LOG", "old log\n");
    box.write("QUARRINE/TEMPZIP.BAT", "@echo old\n");
    box.write("QUARRINE/UPDATES/SYMBOLS.TXT", "SP,GC\n");
    box.write("QUARRINE/UPDATES/0301.CLC", "");
    box.write("QUARRINE/UPDATES/0301.IDX", "data\n");
    box.write("QUARRINE/SYSTEM.MSG", "Service closed on Friday.\r\nUpdates resume Monday.\r\n");
    box.write("QUARRINE/LOGWEB.TXT", "09:14:02 connect\r\n"
                                     "09:14:03 200 RETR " +
                                         HOST_PATH +
                                         "0301.clc\r\n"
                                         "09:14:05 200 RETR " +
                                         HOST_PATH +
                                         "0301.cot\r\n"
                                         "Authorization failed: user 10442\r\n"
                                         "09:14:06 close\r\n");
}

TEST(Housekeeping, TypicalRun) {
    Sandbox box;
    lay_typical(box);
    auto expected = box.files();
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(box.calls(), std::vector<std::string>{UPDATER});
    const std::string added = "Service closed on Friday.\nUpdates resume Monday.\n" +
                              notice_block("\nERROR - INVALID PASSWORD FOR COT AREA");
    for (const char* gone : {"QUARRINE/TELVOX.LOG", "QUARRINE/TEMPZIP.BAT",
                             "QUARRINE/UPDATES/SYMBOLS.TXT", "QUARRINE/UPDATES/0301.CLC"})
        expected.erase(gone);
    expected["QUARRINE/TELVOX.MSG"] = added;
    EXPECT_EQ(box.files(), expected);

    // Both files stay, so a second run relays them again after the notice trailer.
    r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.read("QUARRINE/TELVOX.MSG"), added + added);
}

TEST(Housekeeping, CleanupDeletesOnlyEmptyAreaFilesInTheFolder) {
    Sandbox box;
    box.lay_support_files();
    // Longer than the 181 characters that a fixed path buffer would allow, and short enough for
    // the Windows path limit of 260 characters with the folder in front.
    const std::string long_name = std::string(216, 'L') + ".Cot";
    const char* deleted[] = {"a.CLC", "d.clc", "E.Idx", "f.cOt"};
    for (const char* name : deleted)
        box.write(std::string("QUARRINE/UPDATES/") + name, "");
    box.write("QUARRINE/UPDATES/" + long_name, "");
    box.write("QUARRINE/UPDATES/b.CLC", "x");
    box.write("QUARRINE/UPDATES/c.TXT", "");
    box.write("QUARRINE/UPDATES/g.CLCX", "");
    box.write("QUARRINE/UPDATES/SUB.IDX/inner.IDX", "");
    box.write("QUARRINE/outside.CLC", "");
    box.write("QUARRINE/UPDATES/..\\outside.CLC", ""); // a name that would reach out
    // Under Wine a POSIX symbolic link is not a Windows link but the file it names, so the
    // link case applies to the POSIX build only.
    if (!sandbox_runs_windows_program())
        std::filesystem::create_symlink("../outside.CLC",
                                        box.drive() / "QUARRINE/UPDATES/link.CLC");
    auto expected = box.files();
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    for (const char* name : deleted)
        expected.erase(std::string("QUARRINE/UPDATES/") + name);
    expected.erase("QUARRINE/UPDATES/" + long_name);
    EXPECT_EQ(box.files(), expected);
}

TEST(Housekeeping, UnopenableNoticeFileStopsBeforeTheUpdater) {
    Sandbox box;
    lay_typical(box);
    box.make_folder("QUARRINE/TELVOX.MSG"); // a folder cannot be opened as the notice file
    RunResult r = box.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "\n\n\n\n\nCANNOT CREATE FILE TELVOX.MSG\n\n\n\n\n");
    EXPECT_TRUE(box.calls().empty());
    EXPECT_FALSE(box.exists("QUARRINE/UPDATES/0301.CLC"));
    EXPECT_TRUE(box.exists("QUARRINE/SYSTEM.MSG"));
    EXPECT_TRUE(box.exists("QUARRINE/LOGWEB.TXT"));
}

} // namespace
