// Tests of the POSIX platform: how the program's Windows paths land on this file system, the
// folder search and deletion, and the text-mode writes.
#include "platform.h"
#include "platform_posix.h"

#include "append_lock_cases.h"
#include "read_error_cases.h"
#include "replace_cases.h"
#include "sandbox.h"
#include "text_mode_reference.h"
#include "update_cleanup.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

class PosixPlatformTest : public ::testing::Test {
  protected:
    Sandbox box;
    void SetUp() override { setenv("ZELMORTH_ROOT", box.drive().c_str(), 1); }
    void TearDown() override { unsetenv("ZELMORTH_ROOT"); }

    std::string read_all(const char* path, std::size_t cap = 7) {
        return append_lock_cases::text_of(path, cap);
    }

    std::set<std::string> search(const char* pattern) {
        std::set<std::string> found;
        FindEntry e;
        PlatFind* s = plat_find_first(pattern, &e);
        if (s == nullptr)
            return found;
        do {
            found.insert(std::string(e.name) + ":" + std::to_string(e.size));
        } while (plat_find_next(s, &e));
        plat_find_close(s);
        return found;
    }
};

TEST_F(PosixPlatformTest, NamesMatchWithoutRegardToCase) {
    std::filesystem::remove_all(box.drive() / "QUARRINE");
    box.write("Quarrine/Telvox.ini", "x\n");
    box.write("Quarrine/updates/a.clc", "");
    EXPECT_EQ(read_all("\\QUARRINE\\TELVOX.INI"), "x\n");
    EXPECT_EQ(search("\\QUARRINE\\UPDATES\\*.CLC"), (std::set<std::string>{"a.clc:0"}));
    // A file the program creates keeps the name as written, inside the folder that exists.
    PlatFile* f = plat_open("\\QUARRINE\\TELVOX.MSG", OpenMode::append);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "n\n"));
    EXPECT_TRUE(plat_close(f));
    EXPECT_EQ(box.read("Quarrine/TELVOX.MSG"), "n\n");
    // The exact spelling wins over another that differs only in case.
    box.write("Quarrine/TELVOX.INI", "exact\n");
    EXPECT_EQ(read_all("\\QUARRINE\\TELVOX.INI"), "exact\n");
}

TEST_F(PosixPlatformTest, ReadingTranslatesLikeWindowsTextMode) {
    box.write("QUARRINE/F", "a\r\nb\rc\r\r\n\x1A"
                            "after");
    EXPECT_EQ(read_all("\\QUARRINE\\F"), "a\nb\rc\r\n");
    box.make_folder("QUARRINE/DIR");
    EXPECT_EQ(read_all("\\QUARRINE\\DIR"), "<unopenable>") << "a folder is not a file";
    EXPECT_EQ(read_all("\\QUARRINE\\MISSING"), "<unopenable>");
}

// Whatever the size of the caller's reads, a CR-LF is one newline, a lone CR stays and Ctrl-Z
// ends the file; reads of one character must hold a CR back until the next byte is known.
TEST_F(PosixPlatformTest, TextModeDoesNotDependOnTheReadSize) {
    struct Row {
        std::string bytes;
        std::string text;
    };
    const Row rows[] = {
        {"a\r\nb\rc\r\r\n\x1A"
         "after",
         "a\nb\rc\r\n"},
        {"\r", "\r"},
        {"\r\n", "\n"},
        {"x\r\r\r\ny\r", "x\r\r\ny\r"},
        {"\r\x1A"
         "after",
         "\r"},
        {"ab\rc\x1A", "ab\rc"},
        {"\x1A", ""},
        {"", ""},
    };
    for (const Row& row : rows) {
        box.write("QUARRINE/F", row.bytes);
        for (std::size_t cap : {1, 2, 3, 5, 7, 4096})
            EXPECT_EQ(read_all("\\QUARRINE\\F", cap), row.text) << "read size " << cap;
    }
}

// A long file of short CR-LF lines, read in many sizes: the pairs that a read splits, the CRs
// decided by reading ahead and a Ctrl-Z late in the file all come out as in one plain pass.
TEST_F(PosixPlatformTest, LongFilesReadTheSameInEveryReadSize) {
    std::string bytes;
    for (int i = 0; bytes.size() < 300000; ++i)
        bytes += std::string(i % 97, static_cast<char>('a' + i % 26)) + (i % 5 ? "\r\n" : "\r");
    box.write("QUARRINE/F", bytes);
    for (std::size_t cap : {1, 2, 63, 64, 65, 4096, 1 << 18})
        EXPECT_TRUE(read_all("\\QUARRINE\\F", cap) == text_mode_reference(bytes))
            << "read size " << cap;
    // A Ctrl-Z directly after the CR of a CR-LF: the CR stays and nothing after it is read.
    std::size_t cut = bytes.find("\r\n", 250000) + 1;
    box.write("QUARRINE/F", bytes.substr(0, cut) + "\x1A\n" + bytes);
    for (std::size_t cap : {1, 4096})
        EXPECT_TRUE(read_all("\\QUARRINE\\F", cap) == text_mode_reference(bytes.substr(0, cut)))
            << "read size " << cap;
}

TEST_F(PosixPlatformTest, SearchMatchesTheExtensionAndReportsSizes) {
    box.write("QUARRINE/UPDATES/a.CLC", "");
    box.write("QUARRINE/UPDATES/b.Clc", "12");
    box.write("QUARRINE/UPDATES/c.CLCX", "");
    box.write("QUARRINE/UPDATES/d.TXT", "");
    box.make_folder("QUARRINE/UPDATES/sub.CLC");
    std::filesystem::create_symlink("/etc/hostname", box.drive() / "QUARRINE/UPDATES/link.clc");
    auto found = search("\\QUARRINE\\UPDATES\\*.CLC");
    EXPECT_EQ(found.count("a.CLC:0"), 1u);
    EXPECT_EQ(found.count("b.Clc:2"), 1u);
    EXPECT_EQ(found.count("sub.CLC:0"), 1u) << "a folder is reported with size 0";
    EXPECT_EQ(found.size(), 4u) << "the link is reported by its own size, never its target's";
    EXPECT_TRUE(search("\\QUARRINE\\NOWHERE\\*.CLC").empty());
}

TEST_F(PosixPlatformTest, RemoveDeletesFilesAndLinksButNeverFolders) {
    box.write("QUARRINE/F", "x");
    box.make_folder("QUARRINE/DIR");
    box.write("OUTSIDE", "keep");
    std::filesystem::create_symlink(box.drive() / "OUTSIDE", box.drive() / "QUARRINE/LINK");
    EXPECT_TRUE(plat_remove("\\QUARRINE\\F"));
    EXPECT_FALSE(plat_remove("\\QUARRINE\\DIR"));
    EXPECT_FALSE(plat_remove("\\QUARRINE\\F")) << "already gone";
    EXPECT_TRUE(plat_remove("\\QUARRINE\\LINK"));
    EXPECT_TRUE(box.exists("QUARRINE/DIR"));
    EXPECT_EQ(box.read("OUTSIDE"), "keep");
}

TEST_F(PosixPlatformTest, WriteTruncatesAndAppendAppends) {
    for (OpenMode mode : {OpenMode::write, OpenMode::append, OpenMode::append}) {
        PlatFile* f = plat_open("\\QUARRINE\\OUT", mode);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(plat_write_text(f, "line\n"));
        EXPECT_TRUE(plat_close(f));
    }
    EXPECT_EQ(box.read("QUARRINE/OUT"), "line\nline\nline\n");
    std::string big(200000, 'b');
    PlatFile* f = plat_open("\\QUARRINE\\OUT", OpenMode::write);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "x"));
    EXPECT_TRUE(plat_write(f, big.data(), big.size()));
    EXPECT_TRUE(plat_close(f));
    EXPECT_EQ(box.read("QUARRINE/OUT"), "x" + big);

    // A replacement leaves the old file until it takes its place at the close; one that cannot
    // take the place (of a folder) fails at the close, and neither leaves a file beside it.
    f = plat_open("\\QUARRINE\\OUT", OpenMode::replace);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "new\n"));
    EXPECT_EQ(box.read("QUARRINE/OUT"), "x" + big);
    EXPECT_TRUE(plat_close(f));
    box.make_folder("QUARRINE/DIR");
    f = plat_open("\\QUARRINE\\DIR", OpenMode::replace);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(plat_close(f));
    EXPECT_EQ(box.files(),
              (std::map<std::string, std::string>{
                  {"QUARRINE/", ""}, {"QUARRINE/DIR/", ""}, {"QUARRINE/OUT", "new\n"}}));
}

// The search reports every update file empty, as a folder listing that lags the files may; the
// clean-up's deletion looks again and keeps the one that has data.
TEST_F(PosixPlatformTest, CleanupKeepsAFileWithDataThatTheSearchSawEmpty) {
    box.write("QUARRINE/UPDATES/full.CLC", "data\n");
    box.write("QUARRINE/UPDATES/empty.CLC", "");
    PlatformOps saved = plat;
    plat.find_first = [](const char* pattern, FindEntry* entry) {
        PlatFind* search = native_platform.find_first(pattern, entry);
        entry->size = 0;
        return search;
    };
    plat.find_next = [](PlatFind* search, FindEntry* entry) {
        bool more = native_platform.find_next(search, entry);
        entry->size = 0;
        return more;
    };
    delete_zero_files();
    plat = saved;
    EXPECT_EQ(box.read("QUARRINE/UPDATES/full.CLC"), "data\n");
    EXPECT_FALSE(box.exists("QUARRINE/UPDATES/empty.CLC"));
}

// Large writes go out mostly unbuffered, cut at the file's pages; mixed with small ones and
// appended to a file of an odd size, the bytes must still land whole and in order.
TEST_F(PosixPlatformTest, MixedWriteSizesKeepTheirOrder) {
    std::string expected(1234, 'h');
    box.write("QUARRINE/OUT", expected);
    PlatFile* f = plat_open("\\QUARRINE\\OUT", OpenMode::append);
    ASSERT_NE(f, nullptr);
    // Small writes that leave less than a page of the buffer free, then a large one, which must
    // flush the buffer first.
    for (int i = 0; i < 65; ++i) {
        std::string data(i < 64 ? 4095 : 40000, static_cast<char>('k' + i % 8));
        ASSERT_TRUE(plat_write(f, data.data(), data.size())) << "write " << i;
        expected += data;
    }
    const std::size_t sizes[] = {1, 40000, 3, 4095, 300000, 4096, 32768, 7, 262144, 100, 65536};
    for (int round = 0; round < 3; ++round) {
        for (std::size_t size : sizes) {
            std::string data(size, static_cast<char>('a' + expected.size() % 26));
            data.back() = '\n';
            ASSERT_TRUE(plat_write(f, data.data(), data.size()));
            expected += data;
        }
    }
    // Small writes that run over the buffer's end carry on in the next buffer.
    for (int i = 0; i < 100; ++i) {
        std::string data(4095, static_cast<char>('A' + i % 26));
        ASSERT_TRUE(plat_write(f, data.data(), data.size()));
        expected += data;
    }
    EXPECT_TRUE(plat_close(f));
    EXPECT_TRUE(box.read("QUARRINE/OUT") == expected);
}

TEST_F(PosixPlatformTest, WriteErrorsAreReported) {
    unsetenv("ZELMORTH_ROOT"); // so that "\\dev\\full" is the real full device
    // Names at the root of the file system match without regard to case as well.
    PlatFile* f = plat_open("\\DEV\\FULL", OpenMode::append);
    ASSERT_NE(f, nullptr);
    plat_write_text(f, "lost\n");
    EXPECT_FALSE(plat_close(f));

    // A write too large for any buffer goes out at once and fails at once; the file stays
    // failed, so a later small write and the close report it too.
    std::string big(1 << 24, 'b');
    f = plat_open("\\dev\\full", OpenMode::write);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(plat_write(f, big.data(), big.size()));
    EXPECT_FALSE(plat_write_text(f, "x"));
    EXPECT_FALSE(plat_close(f));

    // A large write after a small one must first flush the small one, which fails.
    f = plat_open("\\dev\\full", OpenMode::write);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, "x"));
    EXPECT_FALSE(plat_write(f, big.data(), big.size()));
    EXPECT_FALSE(plat_close(f));

    // Small writes are buffered; the one that needs the full buffer flushed fails.
    f = plat_open("\\dev\\full", OpenMode::write);
    ASSERT_NE(f, nullptr);
    std::size_t written = 0;
    while (written < big.size() && plat_write(f, big.data(), 1000))
        written += 1000;
    EXPECT_GT(written, 0u) << "the first writes only fill the buffer";
    EXPECT_LT(written, big.size()) << "a flush must fail before 16 MiB";
    EXPECT_FALSE(plat_close(f));
}

TEST_F(PosixPlatformTest, AppendLockWaitsOnceARunAndLosesNothing) {
    append_lock_cases::held_beyond_the_time("\\QUARRINE\\HELD.MSG");
    append_lock_cases::let_go_in_time("\\QUARRINE\\LETGO.MSG");
    append_lock_cases::another_append_between_blocks("\\QUARRINE\\BLOCKS.MSG");
}

TEST_F(PosixPlatformTest, ReplacementLeavesATakenNameAndFlushesBeforeTheRename) {
    replace_cases::taken_name_is_left_and_data_flushed_first("\\QUARRINE\\merge.bat");
}

TEST_F(PosixPlatformTest, RootVariableWithTrailingSlashes) {
    box.write("QUARRINE/F", "x\n");
    setenv("ZELMORTH_ROOT", (box.drive().string() + "//").c_str(), 1);
    EXPECT_EQ(read_all("\\QUARRINE\\F"), "x\n");
    setenv("ZELMORTH_ROOT", "/", 1);
    EXPECT_EQ(read_all("\\QUARRINE\\F"), "<unopenable>") << "the root is the real one";
}

TEST_F(PosixPlatformTest, MakeWritableClearsTheReadOnlyMarkOfFilesOnly) {
    box.write("QUARRINE/merge.bat", "old\n");
    box.make_folder("QUARRINE/DIR");
    auto file = box.drive() / "QUARRINE/merge.bat";
    auto dir = box.drive() / "QUARRINE/DIR";
    chmod(file.c_str(), 0444);
    chmod(dir.c_str(), 0555);
    plat_make_writable("\\QUARRINE\\merge.bat");
    plat_make_writable("\\QUARRINE\\DIR");
    plat_make_writable("\\QUARRINE\\MISSING");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0555u);
    EXPECT_FALSE(box.exists("QUARRINE/MISSING"));
}

TEST_F(PosixPlatformTest, SearchPatternsWithoutAFolderOrAStar) {
    box.write("QUARRINE/a.CLC", "");
    box.write("QUARRINE/UPDATES/b.CLC", "1");
    box.write("QUARRINE/CLC", ""); // shorter than the pattern's ".CLC"
    FindEntry e;
    EXPECT_EQ(plat_find_first("\\QUARRINE\\a.CLC", &e), nullptr) << "only '*' patterns";
    EXPECT_TRUE(search("\\QUARRINE\\*.TXT").empty());
    // Without a folder the pattern searches the working directory.
    auto here = std::filesystem::current_path();
    std::filesystem::current_path(box.drive() / "QUARRINE");
    auto found = search("*.clc");
    std::filesystem::current_path(here);
    EXPECT_EQ(found, (std::set<std::string>{"a.CLC:0"}));
}

// Today's date as the system's local date gives it, and the text of every kind of field: each
// digit of month, day and year, the year of a new century.
TEST(PosixToday, IsMonthDayTwoDigitYear) {
    struct Row {
        int year, month, day; // tm_year counts from 1900
        const char* text;
    } rows[] = {
        {126, 11, 20, "12/20/26"}, {126, 0, 31, "01/31/26"}, {99, 8, 9, "09/09/99"},
        {100, 9, 30, "10/30/00"},  {121, 1, 21, "02/21/21"}, {208, 11, 10, "12/10/08"},
    };
    for (const Row& row : rows) {
        std::tm date{};
        date.tm_year = row.year;
        date.tm_mon = row.month;
        date.tm_mday = row.day;
        char out[9];
        date_text(date, out);
        EXPECT_STREQ(out, row.text);
    }
    char today[9];
    std::time_t before = std::time(nullptr);
    plat_today(today);
    std::time_t after = std::time(nullptr);
    char expected[2][9];
    for (int i = 0; i < 2; ++i) {
        std::tm local{};
        localtime_r(i == 0 ? &before : &after, &local);
        std::strftime(expected[i], sizeof expected[i], "%m/%d/%y", &local);
    }
    EXPECT_TRUE(std::strcmp(today, expected[0]) == 0 || std::strcmp(today, expected[1]) == 0)
        << today;
}

// The readers over a failed read of the system's own read(2), as on the Windows build.
TEST_F(PosixPlatformTest, EveryReaderMeetsAFailedRead) {
    box.make_folder("QUARRINE");
    read_error_cases::every_reader(box.drive() / "QUARRINE");
}

} // namespace
