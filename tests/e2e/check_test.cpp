// End-to-end tests of zelmorth-check's own interface: wrong use, and a folder named in place of
// the install folder. That its report names what a run then does is held by every run of the
// suite, through the harness.
#include "sandbox.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

TEST(Check, WrongUseIsOneLineOnStandardErrorAndStatusTwo) {
    Sandbox box;
    box.lay_support_files();
    const std::vector<std::string> uses[] = {{"a", "b"}, {"no-such-folder"}, {"TABLES.INI"}};
    for (const auto& args : uses) {
        auto before = box.files();
        RunResult r = box.check(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.console, "") << args[0];
        EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
        EXPECT_TRUE(r.errors.ends_with("\n")) << r.errors;
        EXPECT_EQ(box.files(), before) << args[0];
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
    installed.run(); // the harness holds the run to the check's report
}

} // namespace
