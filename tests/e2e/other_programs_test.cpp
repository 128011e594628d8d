// End-to-end tests of the program among others on a subscriber's PC: several runs of itself at
// once on one install, and files that another program holds open for a while.
#include "sandbox.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

const std::string HOST_PATH = "https://download.quarrine.example/updates/";
const std::string UPDATER = "TELVOX.EXE /M [in /QUARRINE]";
const std::string REFUSAL = notice_block("\nERROR - INVALID PASSWORD FOR COT AREA");
const std::string MERGE_BATCH = "@ECHO OFF\nSTART TELVOX /M\n"
                                "START HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                                "START HALTBOX \"Finished_-_Merge\" 1000\n";

// A system message of some thousand numbered lines, as the program relays it (LF line ends).
std::string long_message() {
    std::string text;
    for (int i = 1; i <= 4000; ++i)
        text += "Line " + std::to_string(i) + " of the service's message, relayed in one piece\n";
    return text;
}

std::string with_crlf(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

void lay_install(const Sandbox& box, const std::string& message) {
    box.lay_support_files();
    box.write("QUARRINE/SYSTEM.MSG", with_crlf(message));
    box.write("QUARRINE/LOGWEB.TXT",
              "09:14:05 200 RETR " + HOST_PATH + "0301.cot\r\nAuthorization failed: user 1\r\n");
}

// How many times each of the pieces makes up the text, end to end; a text that is not such a
// sequence fails the test, at the offset where no piece fits.
std::vector<int> count_pieces(const std::string& text, const std::vector<std::string>& pieces) {
    std::vector<int> counts(pieces.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t i = 0;
        while (i < pieces.size() && text.compare(at, pieces[i].size(), pieces[i]) != 0)
            ++i;
        if (i == pieces.size()) {
            ADD_FAILURE() << "no whole relay or notice at offset " << at << " of " << text.size()
                          << ": " << text.substr(at, 80);
            break;
        }
        ++counts[i];
        at += pieces[i].size();
    }
    return counts;
}

// Eight runs started at once on one install, round after round: the notice file holds exactly
// eight times what one run writes, each relayed message and each notice block whole. With the
// calendar missing, every run writes its notice and the merge batch, and the batch is whole.
TEST(OtherPrograms, RunsAtOnceLoseNothingAndCutNothingApart) {
    constexpr int RUNS = 8;
    const std::string message = long_message();
    const std::string calendar_notice =
        notice_block("ERROR, could not open the holiday file HOLIDAYS.KVL");
    struct Case {
        const char* name;
        bool calendar;
        int rounds;
    };
    const Case cases[] = {{"whole runs", true, 4}, {"calendar missing", false, 2}};
    for (const Case& c : cases) {
        for (int round = 1; round <= c.rounds; ++round) {
            SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
            Sandbox box;
            lay_install(box, message);
            if (!c.calendar)
                std::filesystem::remove(box.drive() / "QUARRINE/HOLIDAYS.KVL");
            std::vector<RunResult> results = box.run_at_once(RUNS);
            for (const RunResult& r : results)
                EXPECT_EQ(r.status, 0) << r.console << r.errors;
            std::string notices = box.read("QUARRINE/TELVOX.MSG").value_or("<none>");
            if (c.calendar) {
                EXPECT_EQ(count_pieces(notices, {message, REFUSAL}),
                          (std::vector<int>{RUNS, RUNS}));
                EXPECT_EQ(box.calls(), std::vector<std::string>(RUNS, UPDATER));
            } else {
                EXPECT_EQ(count_pieces(notices, {calendar_notice}), std::vector<int>{RUNS});
                EXPECT_EQ(box.read("QUARRINE/merge.bat"), MERGE_BATCH);
            }
        }
    }
}

// Another program holds a file open without sharing it while a run starts. A brief hold is
// waited for and the run does all its work; a hold that outlasts the wait ends in the run's
// failure path for that file, which the check, made while the file is held, foresees.
TEST(OtherPrograms, FilesHeldByAnotherProgramAreWaitedFor) {
    if (!sandbox_runs_windows_program())
        GTEST_SKIP() << "only Windows holds a file against other programs";
    const std::string message = "Service closed on Friday.\n";
    const std::string earlier = "Earlier notice.\r\n";
    struct Case {
        FileHold hold;
        bool merged;
    };
    const Case cases[] = {
        {{"QUARRINE/TELVOX.MSG", 2000}, true},
        {{"QUARRINE/TABLES.INI", 2000}, true},
        {{"QUARRINE/TELVOX.MSG", 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hold.rel + " held for " + std::to_string(c.hold.hold_ms) + " ms");
        Sandbox box;
        lay_install(box, message);
        box.write("QUARRINE/TELVOX.MSG", earlier);
        if (!c.merged) {
            RunResult check = box.check({}, c.hold);
            EXPECT_NE(check.console.find("note \\QUARRINE\\TELVOX.MSG is held open by another "
                                         "program; a run waits up to 5 seconds for it, then "
                                         "goes on as below\n"),
                      std::string::npos)
                << check.console;
        }
        RunResult r = box.run({}, c.hold); // the harness holds the run to the check's report
        EXPECT_EQ(r.status, 0);
        if (c.merged) {
            EXPECT_EQ(r.console, "");
            EXPECT_EQ(box.calls(), std::vector<std::string>{UPDATER});
            EXPECT_EQ(box.read("QUARRINE/TELVOX.MSG"), earlier + message + REFUSAL);
        } else {
            EXPECT_EQ(r.console, "\n\n\n\n\nCANNOT CREATE FILE TELVOX.MSG\n\n\n\n\n");
            EXPECT_TRUE(box.calls().empty());
            EXPECT_EQ(box.read("QUARRINE/TELVOX.MSG"), earlier);
        }
    }
}

// Another program appends to the notice file without the lock, one line per write, all through
// a run that relays a system message of several MiB. None of its lines is overwritten or cut
// apart: each stands whole, in its order, and with them taken out what is left is exactly what
// the run wrote. One of its lines may stand between two of the run's writes, inside a relayed
// line; how many did is printed, since that depends on how the two processes take turns.
TEST(OtherPrograms, AnAppendOfAnotherProgramIsNeverOverwritten) {
    if (sandbox_runs_windows_program())
        GTEST_SKIP() << "Wine 8 puts an append at the size it looked up just before, so two "
                        "programs' appends can land on the same bytes; Windows keeps each whole";
    const std::string EARLIER = "Earlier notice.\n";
    std::string message;
    for (int i = 1; message.size() < (6u << 20); ++i)
        message += "Line " + std::to_string(i) + " of a long message from the service\n";
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Sandbox box;
        lay_install(box, message);
        box.write("QUARRINE/TELVOX.MSG", EARLIER);
        unsigned long appended = 0;
        RunResult r = box.run_beside_appender("QUARRINE/TELVOX.MSG", &appended);
        EXPECT_EQ(r.status, 0) << r.console << r.errors;
        std::string notices = box.read("QUARRINE/TELVOX.MSG").value_or("");
        // Each of the other program's lines, in turn, is taken out where it stands.
        std::string rest;
        unsigned long found = 0, inside = 0;
        auto line_after = [](unsigned long n) {
            char line[64];
            std::snprintf(line, sizeof line, "other program's line %06lu\n", n + 1);
            return std::string(line);
        };
        std::string next = line_after(0);
        for (std::size_t at = 0; at < notices.size();) {
            if (notices.compare(at, next.size(), next) != 0) {
                rest += notices[at++];
                continue;
            }
            at += next.size();
            next = line_after(++found);
            bool relaying =
                rest.size() > EARLIER.size() && rest.size() < EARLIER.size() + message.size();
            inside += relaying ? 1 : 0;
        }
        EXPECT_GT(appended, 0u);
        EXPECT_EQ(found, appended) << "lines of the other program were cut or overwritten";
        EXPECT_TRUE(rest == EARLIER + message + REFUSAL) << "the run's own text is not whole";
        std::printf("[ appends ] round %d: %lu lines of the other program, %lu of them inside the "
                    "relay\n",
                    round, appended, inside);
    }
}

} // namespace
