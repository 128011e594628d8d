// Tests of the Windows platform, run under Wine: what the runtime's text mode does to reads and
// writes, which files can be opened and deleted, the folder search, the date and the commands.
#include "platform.h"
#include "platform_windows.h"

#include "append_lock_cases.h"
#include "replace_cases.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

class WindowsPlatformTest : public ::testing::Test {
  protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("zelmorth-plat-" + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(dir, ec))
            SetFileAttributesA(e.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(dir, ec);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }
    void put(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
    std::string bytes(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // Everything a text-mode read delivers, taken in small pieces.
    std::string read_all(const std::string& name, std::size_t piece) const {
        return append_lock_cases::text_of(path(name), piece);
    }
};

TEST_F(WindowsPlatformTest, TextModeReadsTurnCrLfIntoLfAndStopAtCtrlZ) {
    struct Row {
        const char* what;
        std::string raw;
        std::string text;
    } rows[] = {
        {"CR-LF", "one\r\ntwo\r\n", "one\ntwo\n"},
        {"bare LF", "one\ntwo", "one\ntwo"},
        {"lone CR kept", "a\rb\r\r\n", "a\rb\r\n"},
        {"CR at the end kept", "end\r", "end\r"},
        {"Ctrl-Z ends the file", "kept\n\x1Alost\n", "kept\n"},
        {"Ctrl-Z first", std::string("\x1A") + "x", ""},
        {"empty", "", ""},
        {"NUL passes", std::string("a\0b\n", 4), std::string("a\0b\n", 4)},
    };
    for (const auto& row : rows) {
        put("in.txt", row.raw);
        for (std::size_t piece : {1u, 2u, 3u, 16u})
            EXPECT_EQ(read_all("in.txt", piece), row.text) << row.what << ", piece " << piece;
    }
}

TEST_F(WindowsPlatformTest, TextModeWritesCrLfAndAppendKeepsWhatWasThere) {
    PlatFile* f = plat_open(path("out.txt").c_str(), OpenMode::write);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "one\ntwo\n"));
    EXPECT_TRUE(plat_close(f));
    EXPECT_EQ(bytes("out.txt"), "one\r\ntwo\r\n");

    f = plat_open(path("out.txt").c_str(), OpenMode::append);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "    \nthree"));
    EXPECT_TRUE(plat_close(f));
    EXPECT_EQ(bytes("out.txt"), "one\r\ntwo\r\n    \r\nthree");

    f = plat_open(path("out.txt").c_str(), OpenMode::write);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_close(f));
    EXPECT_EQ(bytes("out.txt"), "");

    // A replacement leaves the old file as it is until it takes its place at the close.
    put("out.txt", "old\r\n");
    f = plat_open(path("out.txt").c_str(), OpenMode::replace);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "new\n"));
    EXPECT_EQ(bytes("out.txt"), "old\r\n");
    EXPECT_TRUE(plat_close(f));
    EXPECT_EQ(bytes("out.txt"), "new\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(WindowsPlatformTest, AppendLockWaitsOnceARunAndLosesNothing) {
    append_lock_cases::held_beyond_the_time(path("held.txt"));
    append_lock_cases::let_go_in_time(path("let-go.txt"));
    append_lock_cases::another_append_between_blocks(path("blocks.txt"));
}

TEST_F(WindowsPlatformTest, ReplacementLeavesATakenNameAndFlushesBeforeTheRename) {
    replace_cases::taken_name_is_left_and_data_flushed_first(path("merge.bat"));
}

TEST_F(WindowsPlatformTest, FoldersAndMissingFilesDoNotOpen) {
    fs::create_directories(dir / "FOLDER");
    for (OpenMode mode : {OpenMode::read, OpenMode::write, OpenMode::append})
        EXPECT_EQ(plat_open(path("FOLDER").c_str(), mode), nullptr) << static_cast<int>(mode);
    EXPECT_EQ(plat_open(path("missing.txt").c_str(), OpenMode::read), nullptr);
    EXPECT_EQ(plat_open(path("nowhere\\new.txt").c_str(), OpenMode::write), nullptr);
    EXPECT_TRUE(fs::is_directory(dir / "FOLDER"));
}

TEST_F(WindowsPlatformTest, RemoveDeletesFilesOnlyAndReadOnlyNeedsAttrib) {
    put("file.txt", "x");
    fs::create_directories(dir / "folder.txt");
    EXPECT_TRUE(plat_remove(path("FILE.TXT").c_str())); // names match without regard to case
    EXPECT_FALSE(fs::exists(dir / "file.txt"));
    EXPECT_FALSE(plat_remove(path("file.txt").c_str()));
    EXPECT_FALSE(plat_remove(path("folder.txt").c_str()));
    EXPECT_TRUE(fs::is_directory(dir / "folder.txt"));

    put("merge.bat", "old\n");
    ASSERT_TRUE(SetFileAttributesA(path("merge.bat").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(plat_remove(path("merge.bat").c_str()));
    plat_make_writable(path("merge.bat").c_str());
    EXPECT_TRUE(plat_remove(path("merge.bat").c_str()));
    EXPECT_FALSE(fs::exists(dir / "merge.bat"));
}

// Another program keeps a handle that only reads attributes, as Explorer, an indexer or a sync
// agent does: the deletion's exclusive open is not stopped by it. Where the system takes the
// POSIX-semantics mark, the name is gone at once and may be made again; where it refuses it
// (Wine 8 does, with ERROR_INVALID_PARAMETER, as do older systems and other file systems), the
// older mark is used and the name goes when that handle is closed. Both delete the file.
TEST_F(WindowsPlatformTest, DeletionMarkWithAndWithoutPosixSemantics) {
    put("probe.txt", "x");
    HANDLE probe = CreateFileA(path("probe.txt").c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    FILE_DISPOSITION_INFO_EX keep{FILE_DISPOSITION_FLAG_DO_NOT_DELETE};
    bool posix_here = SetFileInformationByHandle(probe, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21),
                                                 &keep, sizeof keep) != 0;
    DWORD refusal = posix_here ? ERROR_SUCCESS : GetLastError();
    CloseHandle(probe);
    std::printf("[ deletion ] POSIX semantics %s\n",
                posix_here ? "taken" : ("refused, error " + std::to_string(refusal)).c_str());
    if (!posix_here) {
        EXPECT_TRUE(refusal == ERROR_INVALID_PARAMETER || refusal == ERROR_NOT_SUPPORTED)
            << refusal;
    }
    struct Row {
        const char* name;
        bool by_plat_remove; // through the platform's deletion, or the older mark alone
    } rows[] = {{"by-platform.txt", true}, {"older-mark.txt", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        put(row.name, "data");
        HANDLE viewer = CreateFileA(path(row.name).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
        auto start = append_lock_cases::Clock::now();
        if (row.by_plat_remove) {
            EXPECT_TRUE(plat_remove(path(row.name).c_str()));
        } else {
            HANDLE h = CreateFileA(path(row.name).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << "an attributes handle shares its file";
            EXPECT_TRUE(mark_for_deletion(h, false));
            EXPECT_TRUE(CloseHandle(h));
        }
        EXPECT_LT(append_lock_cases::ms_since(start), 2500) << "nothing to wait for";
        bool gone_at_once = GetFileAttributesA(path(row.name).c_str()) == INVALID_FILE_ATTRIBUTES;
        EXPECT_EQ(gone_at_once, posix_here && row.by_plat_remove);
        CloseHandle(viewer);
        EXPECT_FALSE(fs::exists(dir / row.name)) << "gone once the last handle is closed";
    }
}

using Found = std::set<std::pair<std::string, unsigned long long>>;

Found find_all(const std::string& pattern) {
    Found found;
    FindEntry entry;
    PlatFind* s = plat_find_first(pattern.c_str(), &entry);
    if (s == nullptr)
        return found;
    do
        found.insert({entry.name, entry.size});
    while (plat_find_next(s, &entry));
    plat_find_close(s);
    return found;
}

// The search saw both update files empty, but a writer still holds one and gives it its data
// before it lets go. The clean-up's deletion waits for the writer and then keeps that file.
TEST_F(WindowsPlatformTest, CleanupDeletionKeepsAFileThatHasDataByThen) {
    put("full.CLC", "");
    put("empty.CLC", "");
    HANDLE writer = CreateFileA(path("full.CLC").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(find_all(path("*.CLC")), (Found{{"empty.CLC", 0}, {"full.CLC", 0}}));
    auto start = append_lock_cases::Clock::now();
    std::thread writing([writer] {
        Sleep(300);
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(writer, "data\r\n", 6, &put, nullptr));
        CloseHandle(writer);
    });
    EXPECT_FALSE(plat_remove_if_empty(path("full.CLC").c_str()));
    long long waited = append_lock_cases::ms_since(start);
    writing.join();
    EXPECT_GE(waited, 250) << "the deletion waits for the writer";
    EXPECT_EQ(bytes("full.CLC"), "data\r\n");
    EXPECT_TRUE(plat_remove_if_empty(path("empty.CLC").c_str()));
    EXPECT_FALSE(fs::exists(dir / "empty.CLC"));
}

// Which failures are waited for: another program's hold or lock, and a deletion still pending,
// which refuses even an open that asks only for attributes (Wine 8 opens such a name instead, so
// the rows stand in for it). Any other access denied lasts and fails at once.
TEST_F(WindowsPlatformTest, PendingDeletionsAreWaitedForLikeHolds) {
    struct Row {
        DWORD error;
        DWORD attributes;
        DWORD look; // the attributes-only open's error
        bool held;
    } rows[] = {
        {ERROR_SHARING_VIOLATION, FILE_ATTRIBUTE_NORMAL, ERROR_SUCCESS, true},
        {ERROR_LOCK_VIOLATION, FILE_ATTRIBUTE_ARCHIVE, ERROR_SUCCESS, true},
        {ERROR_ACCESS_DENIED, INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED, true}, // pending
        {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_ARCHIVE, ERROR_SUCCESS, false}, // refuses the user
        {ERROR_ACCESS_DENIED, INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND, false}, // the folder
        {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_READONLY, ERROR_ACCESS_DENIED, false},
        {ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_DIRECTORY, ERROR_SUCCESS, false},
        {ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(held_failure(row.error, row.attributes, row.look), row.held)
            << row.error << " " << std::hex << row.attributes << " " << row.look;
    fs::create_directories(dir / "FOLDER");
    auto start = append_lock_cases::Clock::now();
    EXPECT_EQ(plat_open(path("FOLDER").c_str(), OpenMode::append), nullptr);
    EXPECT_LT(append_lock_cases::ms_since(start), 2500) << "a folder is not waited for";
}

// The search also matches longer extensions through their short names ("d.CLCX" for "*.CLC");
// the clean-up has to look at the full name itself.
TEST_F(WindowsPlatformTest, SearchYieldsNamesAndSizesAndFoldersAsEmpty) {
    put("a.CLC", "");
    put("b.clc", "12345");
    put("c.IDX", "");
    put("d.CLCX", "");
    fs::create_directories(dir / "sub.CLC");
    EXPECT_EQ(find_all(path("*.CLC")),
              (Found{{"a.CLC", 0}, {"b.clc", 5}, {"d.CLCX", 0}, {"sub.CLC", 0}}));
    EXPECT_EQ(find_all(path("*.COT")), Found{});
    EXPECT_EQ(find_all(path("nowhere\\*.CLC")), Found{});
}

TEST_F(WindowsPlatformTest, TodayIsMonthDayTwoDigitYear) {
    char out[9];
    std::time_t before = std::time(nullptr);
    plat_today(out);
    std::time_t after = std::time(nullptr);
    char expected[2][9];
    for (int i = 0; i < 2; ++i) {
        std::tm* t = std::localtime(i == 0 ? &before : &after);
        std::strftime(expected[i], sizeof expected[i], "%m/%d/%y", t);
    }
    EXPECT_TRUE(std::string(out) == expected[0] || std::string(out) == expected[1]) << out;
}

TEST_F(WindowsPlatformTest, CommandsRunThroughTheInterpreterAndFailedOverlayReturns) {
    EXPECT_EQ(plat_run_command("EXIT 3"), 3);
    EXPECT_EQ(plat_run_command("EXIT 0"), 0);
    // Nothing to start, so the call returns. Were the process replaced instead, the run would
    // end without the summary line that its CTest entry requires.
    plat_overlay(path("missing.bat").c_str());
    EXPECT_FALSE(fs::exists(dir / "missing.bat"));
}

std::string self_path() {
    char module[MAX_PATH];
    DWORD len = GetModuleFileNameA(nullptr, module, sizeof module);
    return std::string(module, len < sizeof module ? len : 0);
}

// ATTRIB on a missing file says so on standard output, which the POSIX build never prints.
TEST_F(WindowsPlatformTest, MakeWritableOfAMissingFileReportsItOnTheConsole) {
    std::string out = path("out.txt");
    EXPECT_EQ(plat_run_command(
                  (self_path() + " --make-writable \\QUARRINE\\nothing.bat > " + out).c_str()),
              0);
    EXPECT_EQ(bytes("out.txt"), "\\QUARRINE\\nothing.bat: File Not Found\r\n");
}

// The overlay start of a batch ends this process with status 0 at once; the batch runs on and
// its STARTs launch the stand-ins side by side, which log the names the batch wrote.
TEST_F(WindowsPlatformTest, OverlayHandsTheProcessToTheBatch) {
    fs::create_directories(dir / "bin");
    fs::path standins = fs::path(self_path()).parent_path();
    for (const char* name : {"TELVOX.EXE", "HALTBOX.EXE"})
        fs::copy_file(standins / name, dir / "bin" / name);
    PlatFile* f = plat_open(path("merge.bat").c_str(), OpenMode::write);
    ASSERT_NE(f, nullptr);
    plat_write_text(f, "@ECHO OFF\nSTART TELVOX /M\nSTART HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                       "START HALTBOX \"Finished_-_Merge\" 1000\n");
    ASSERT_TRUE(plat_close(f));
    std::string old_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    _putenv(("PATH=" + path("bin") + ";" + old_path).c_str());
    int status = plat_run_command((self_path() + " --overlay " + path("merge.bat")).c_str());
    _putenv(("PATH=" + old_path).c_str());
    EXPECT_EQ(status, 0); // 7 would mean that the overlay start returned

    std::multiset<std::string> calls;
    for (int waited = 0; waited < 30000 && calls.size() < 3; waited += 50) {
        Sleep(50);
        std::istringstream log(bytes("calls.log"));
        calls.clear();
        for (std::string line; std::getline(log, line);)
            calls.insert(line);
    }
    EXPECT_EQ(calls, (std::multiset<std::string>{"HALTBOX Finished_-_Merge 1000",
                                                 "HALTBOX Finished_-_Zelmorth 1000", "TELVOX /M"}));
}

} // namespace

// The tests, or one platform call for the tests that need a second process.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--overlay") {
        plat_overlay(argv[2]);
        return 7;
    }
    if (argc == 3 && std::string(argv[1]) == "--make-writable") {
        plat_make_writable(argv[2]);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
