// End-to-end tests of a notice file on a full disk: the notice file is a link to /dev/full,
// which opens but refuses every byte when the file is flushed and closed.
#include "sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const std::string HOST_PATH = "https://download.quarrine.example/updates/";
const std::string UPDATER = "TELVOX.EXE /M [in /QUARRINE]";

// What the program has to say cannot be stored anywhere, so it is lost; everything else must
// be as after a normal run: the run goes on to the updater and ends with status 0, the files
// it reads stay, and the link is neither replaced by a regular file nor removed.
TEST(FullDisk, NoticeFileOnAFullDiskLosesNothingElse) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full on this system";
    struct Case {
        const char* name;
        const char* calendar_tail; // appended to a valid calendar
        bool updater;
    };
    const Case cases[] = {
        // The relay and the refusal notice both write into the full disk and go on.
        {"relay and refusal", "", true},
        // The broken calendar's notice is lost; the merge batch is still written and run.
        {"broken calendar", "07/04/21 21\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        box.lay_support_files();
        box.write("QUARRINE/HOLIDAYS.KVL", *box.read("QUARRINE/HOLIDAYS.KVL") + c.calendar_tail);
        box.write("QUARRINE/SYSTEM.MSG", "Service closed on Friday.\r\n");
        box.write("QUARRINE/LOGWEB.TXT", "09:14:05 200 RETR " + HOST_PATH +
                                             "0301.cot\r\nAuthorization failed: user 1\r\n");
        box.write("QUARRINE/UPDATES/0301.CLC", "");
        box.write("QUARRINE/UPDATES/0301.IDX", "data\n");
        fs::create_symlink("/dev/full", box.drive() / "QUARRINE/TELVOX.MSG");
        auto expected = box.files();
        expected.erase("QUARRINE/UPDATES/0301.CLC");

        RunResult r = box.run();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.console, c.updater ? "" : missing_batch_attrib_line());
        auto after = box.files();
        if (c.updater) {
            EXPECT_EQ(box.calls(), std::vector<std::string>{UPDATER});
        } else {
            EXPECT_EQ(after.count("QUARRINE/merge.bat"), 1u);
            expected["QUARRINE/merge.bat"] = after["QUARRINE/merge.bat"];
            EXPECT_EQ(after["QUARRINE/merge.bat"],
                      "@ECHO OFF\nSTART TELVOX /M\nSTART HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                      "START HALTBOX \"Finished_-_Merge\" 1000\n");
            EXPECT_EQ(box.calls(), merge_batch_calls()) << "the batch ran its four lines";
        }
        EXPECT_EQ(after, expected);
        EXPECT_EQ(after["QUARRINE/TELVOX.MSG"], "-> /dev/full");
    }
}

} // namespace
