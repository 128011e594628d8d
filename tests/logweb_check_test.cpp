// Tests of the web log check: which lines are transfer lines, which are refusals, the area
// each notice names, and the end of the process when a notice cannot be written.
#include "logweb_check.h"

#include "fake_platform.h"
#include "notices.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A transfer line of the given length, its line end counted, ending in a file name with ext.
std::string transfer(std::size_t length, const std::string& ext) {
    std::string head = std::string("GET https://") + DOWNLOAD_HOST + "/upd/";
    std::string tail = "." + ext + "\n";
    return head + std::string(length - head.size() - tail.size(), 'f') + tail;
}

std::string refusal_notice(const std::string& area) {
    return notice_block("\nERROR - INVALID PASSWORD FOR " + area + " AREA");
}

TEST(CheckLogweb, NamesTheAreaOfTheLastTransferLine) {
    const std::string fail = "Authorization failed for user 1234\n";
    struct Row {
        const char* name;
        std::string log;
        std::vector<std::string> areas; // one notice per entry
    };
    const Row rows[] = {
        {"60 characters, .idx", transfer(60, "idx") + fail, {"IDX"}},
        {"56 characters sets the area", transfer(56, "cot") + fail, {"COT"}},
        {"55 characters does not", transfer(55, "cot") + fail, {"NONE"}},
        {"51 characters does not", transfer(51, "cot") + fail, {"NONE"}},
        {"any three characters", transfer(70, "Zip") + fail, {"ZIP"}},
        {"upper-case words", transfer(60, "clc") + "AUTHORIZATION FAILED\n", {"CLC"}},
        {"the words later in a line", transfer(60, "clc") + "Login: Authorization failed\n", {}},
        {"19 characters only", "Authorization faile\n", {}},
        {"refusal first", fail + transfer(60, "cot") + fail, {"NONE", "COT"}},
        {"area kept", transfer(60, "idx") + "ok\n" + fail + fail + fail, {"IDX", "IDX", "IDX"}},
        {"latest transfer wins", transfer(60, "idx") + transfer(60, "cot") + fail, {"COT"}},
        // Long lines are only searched for the host when a refusal needs the area; thousands
        // of them in between must not lose it.
        {"area kept over long lines",
         transfer(60, "idx") +
             [] {
                 std::string lines;
                 for (int i = 0; i < 3000; ++i)
                     lines += std::string(70, 'x') + "\n";
                 return lines;
             }() +
             fail,
         {"IDX"}},
        {"host is case-sensitive",
         "GET https://DOWNLOAD.QUARRINE.EXAMPLE/upd/ffffffffffff.cot\n" + fail,
         {"NONE"}},
        {"transfer test first", "Authorization failed " + transfer(60, "clc"), {"CLC"}},
        {"last line without end", transfer(60, "cot") + "Authorization failed", {}},
        {"last line of 189 without end",
         transfer(60, "cot") + "Authorization failed" + std::string(169, '.'),
         {"COT"}},
        {"no refusal", transfer(60, "cot") + "200 OK\n", {}},
        // A line is taken as a string: a NUL byte ends its text.
        {"refusal before a NUL",
         transfer(60, "idx") + std::string("Authorization failed\0x\n", 23),
         {"IDX"}},
        {"NUL inside the words", std::string("Author\0ization failed\n", 23), {}},
        {"host after a NUL", std::string("GET \0", 5) + transfer(60, "cot") + fail, {"NONE"}},
        // The host's name cut by the line end: the last place it could start does not hold it.
        {"host cut short", std::string(35, 'x') + "download.quarrine.exampl\n" + fail, {"NONE"}},
    };
    for (const Row& row : rows) {
        FakePlatform fake;
        fake.world.files[LOGWEB_FILE] = row.log;
        EXPECT_EQ(check_logweb(), 0);
        std::string expected;
        for (const std::string& area : row.areas)
            expected += refusal_notice(area);
        if (row.areas.empty())
            EXPECT_EQ(fake.world.files.count(NOTICE_FILE), 0u) << row.name;
        else
            EXPECT_EQ(fake.world.files[NOTICE_FILE], expected) << row.name;
        EXPECT_EQ(fake.world.files[LOGWEB_FILE], row.log) << row.name;
    }
}

TEST(CheckLogweb, MissingLogDoesNothing) {
    FakePlatform fake;
    EXPECT_EQ(check_logweb(), 0);
    EXPECT_TRUE(fake.world.files.empty());
}

TEST(CheckLogweb, UnwritableNoticeEndsTheProcess) {
    FakePlatform fake;
    fake.world.files[LOGWEB_FILE] = "Authorization failed\nAuthorization failed\n";
    fake.world.unopenable.insert(NOTICE_FILE);
    EXPECT_EQ(exit_status_of([] { check_logweb(); }), 0);
    EXPECT_EQ(fake.world.console, "\n\n\n\n\nCANNOT CREATE FILE TELVOX.MSG\n\n\n\n\n");
}

} // namespace
