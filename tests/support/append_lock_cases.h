// append_lock_cases.h - the appenders' lock against a holder, run by the platform tests of both
// builds: the waits of one run share one short time, and no append is lost or torn, not even
// one that another program makes between two blocks of a run's append without the lock.
#pragma once

#include "file_bytes.h"
#include "platform.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace append_lock_cases {

using Clock = std::chrono::steady_clock;

inline long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One whole append of text, as a notice block or the relay makes it.
inline void append(const std::string& path, const char* text) {
    PlatFile* f = plat_open(path.c_str(), OpenMode::append);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(plat_write_text(f, text));
    EXPECT_TRUE(plat_close(f));
}

// Everything a text-mode read of the file delivers, taken cap characters at a time; a read
// that fails shows as "<read failed>" after what came before it.
inline std::string text_of(const std::string& path, std::size_t cap = 64) {
    std::string all;
    PlatFile* f = plat_open(path.c_str(), OpenMode::read);
    if (f == nullptr)
        return "<unopenable>";
    std::vector<char> buf(cap);
    for (;;) {
        std::size_t n = plat_read(f, buf.data(), cap);
        if (n == 0 || n == READ_FAILED) {
            all += n == 0 ? "" : "<read failed>";
            break;
        }
        all.append(buf.data(), n);
    }
    plat_close(f);
    return all;
}

// Another program holds the lock for longer than the run's time for lock waits: the first
// append waits that time out, the rest try once and go on at once, and nothing is lost. Were
// the time counted per open, five appends would take five times as long.
inline void held_beyond_the_time(const std::string& path) {
    constexpr long long WAIT_MS = 2000;
    append_lock_wait_left_ms = WAIT_MS;
    PlatFile* holder = plat_open(path.c_str(), OpenMode::append);
    ASSERT_NE(holder, nullptr);
    EXPECT_TRUE(plat_write_text(holder, "holder\n"));
    auto start = Clock::now();
    for (const char* line : {"1\n", "2\n", "3\n", "4\n", "5\n"})
        append(path, line);
    long long took = ms_since(start);
    EXPECT_TRUE(plat_close(holder));
    EXPECT_GE(took, WAIT_MS - 100) << "the first append waits for the lock";
    EXPECT_LT(took, WAIT_MS * 5 / 2) << "one wait for the whole run, not one per append";
    EXPECT_EQ(text_of(path), "1\n2\n3\n4\n5\nholder\n");
    append_lock_wait_left_ms = APPEND_LOCK_WAIT_MS;
}

// A lock let go within the time is taken: the append waits for the holder's text to land, then
// holds the lock itself, so that an append started meanwhile lands after it, whole.
inline void let_go_in_time(const std::string& path) {
    append_lock_wait_left_ms = APPEND_LOCK_WAIT_MS;
    PlatFile* holder = plat_open(path.c_str(), OpenMode::append);
    ASSERT_NE(holder, nullptr);
    EXPECT_TRUE(plat_write_text(holder, "holder\n"));
    auto start = Clock::now();
    std::thread letting_go([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(plat_close(holder));
    });
    PlatFile* ours = plat_open(path.c_str(), OpenMode::append);
    long long waited = ms_since(start);
    letting_go.join();
    ASSERT_NE(ours, nullptr);
    EXPECT_GE(waited, 250) << "the open waits until the holder lets go";
    std::thread other([&path] { append(path, "other\n"); });
    EXPECT_TRUE(plat_write_text(ours, "ours, first part\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(plat_write_text(ours, "ours, second part\n"));
    EXPECT_TRUE(plat_close(ours));
    other.join();
    EXPECT_EQ(text_of(path), "holder\nours, first part\nours, second part\nother\n");
    append_lock_wait_left_ms = APPEND_LOCK_WAIT_MS;
}

// Another program appends a line, without the lock, after the first block of a long append went
// out and before the rest does: each block lands at the end of the file as it is when the block
// is written, so the line stands between the two, whole, and nothing of either is overwritten.
inline void another_append_between_blocks(const std::string& path) {
    const std::string longer_than_a_block = std::string(300000, 'b') + "\n";
    PlatFile* ours = plat_open(path.c_str(), OpenMode::append);
    ASSERT_NE(ours, nullptr);
    EXPECT_TRUE(plat_write(ours, longer_than_a_block.data(), longer_than_a_block.size()));
    append_lock_wait_left_ms = 0; // the other program goes on without the lock at once
    unsigned long long size = 0;
    SysFile* other = native_file_bytes.open(path.c_str(), OpenMode::append, &size);
    ASSERT_NE(other, nullptr);
    EXPECT_GT(size, 0u) << "the first block went out";
    std::string line = std::string("other") + native_file_bytes.line_end;
    EXPECT_TRUE(native_file_bytes.write(other, line.data(), line.size()));
    EXPECT_TRUE(native_file_bytes.close(other));
    EXPECT_TRUE(plat_write_text(ours, "tail\n"));
    EXPECT_TRUE(plat_close(ours));
    append_lock_wait_left_ms = APPEND_LOCK_WAIT_MS;
    std::string text = text_of(path);
    std::size_t at = text.find("other\n");
    ASSERT_NE(at, std::string::npos) << "the other program's line was overwritten";
    EXPECT_LT(at, longer_than_a_block.size()) << "it stands between two of the append's blocks";
    EXPECT_TRUE(text.erase(at, 6) == longer_than_a_block + "tail\n");
}

} // namespace append_lock_cases
