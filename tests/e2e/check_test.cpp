// End-to-end tests of zelmorth-check's own interface: wrong use, and a folder named in place of
// the install folder. That its report names what a run then does is held by every run of the
// suite, through the harness.
#include "sandbox.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

// Uses that give no report: a call for help prints the usage on standard output with status 0
// ("/?" is one only on Windows); wrong use, or a report that cannot be written because standard
// output refuses every byte, gives one line on standard error and status 2.
TEST(Check, HelpAndWrongUseGiveNoReport) {
    const std::string help = "usage: zelmorth-check [FOLDER]\nShows what a run of zelmorth would "
                             "do now, in order, and changes nothing; FOLDER stands for "
                             "\\QUARRINE\\.\n";
    Sandbox box;
    box.lay_support_files();
    struct Use {
        std::vector<std::string> args;
        bool full_output;
        int status;
    };
    const Use uses[] = {
        {{"--help"}, false, 0},
        {{"-h"}, false, 0},
        {{"/?"}, false, sandbox_runs_windows_program() ? 0 : 2},
        {{"a", "b"}, false, 2},
        {{"no-such-folder"}, false, 2},
        {{"TABLES.INI"}, false, 2},
        {{}, true, 2},
    };
    for (const Use& use : uses) {
        SCOPED_TRACE(use.args.empty() ? "full output" : use.args[0]);
        auto before = box.files();
        RunResult r = box.check(use.args, {}, use.full_output);
        EXPECT_EQ(r.status, use.status);
        if (use.status == 0) {
            EXPECT_EQ(r.console, help);
            EXPECT_EQ(r.errors, "");
        } else {
            EXPECT_EQ(r.console, "");
            EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
            EXPECT_TRUE(r.errors.ends_with("\n")) << r.errors;
        }
        EXPECT_EQ(box.files(), before);
    }
}

// The files of one install, laid once in QUARRINE and once in a folder of their own that the
// service would publish: the check of that folder reports what a run in QUARRINE then does.
// The system message is long enough for the report to cut its text.
TEST(Check, AFolderStandsForTheInstallFolder) {
    std::string message;
    for (int i = 1; i <= 24; ++i)
        message += "Line " + std::to_string(i) + (i == 3 ? std::string(200, '=') : "") + "\r\n";
    Sandbox installed, published;
    installed.lay_support_files();
    installed.lay_leftovers();
    installed.write("QUARRINE/SYSTEM.MSG", message);
    installed.write("QUARRINE/UPDATES/0301.CLC", "");
    for (const auto& [rel, bytes] : installed.files())
        if (rel.starts_with("QUARRINE/") && !rel.ends_with("/"))
            published.write("publish/" + rel.substr(9), bytes);
    auto published_files = published.files();

    RunResult at_folder = published.check({"../publish"});
    EXPECT_EQ(published.files(), published_files);
    RunResult at_install = installed.check();
    EXPECT_EQ(at_install.status, 0);
    EXPECT_EQ(at_folder.status, 0);
    EXPECT_EQ(at_folder.console, at_install.console);
    EXPECT_NE(at_install.console.find("    + 4 more lines\n"), std::string::npos);
    // The calendar laid holds two dates, 20 days ago and a year ahead.
    auto date = [](int days) {
        std::string line = holiday_line(days); // MM/DD/YY CC
        return line.substr(0, 6) + line.substr(9, 2) + line.substr(6, 2);
    };
    EXPECT_NE(at_install.console.find("\nnote HOLIDAYS.KVL holds 2 dates, " + date(-20) + " to " +
                                      date(365) + "; 365 days left\n"),
              std::string::npos)
        << at_install.console;
    installed.run(); // the harness holds the run to the check's report
}

} // namespace
