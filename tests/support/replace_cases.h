// replace_cases.h - a replacement through the text mode, run by the platform tests of both
// builds over the system's own byte calls: its data is on the disk before it takes the name, and
// a new file's name that is taken already is left to whoever has it.
#pragma once

#include "append_lock_cases.h"
#include "file_bytes.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace replace_cases {

using append_lock_cases::text_of;

inline std::vector<std::string> byte_calls; // what the text mode asked of the system, in order

inline SysFile* logged_create_new(const char* path, bool* taken) {
    SysFile* f = native_file_bytes.create_new(path, taken);
    byte_calls.push_back(std::string(f != nullptr ? "create " : "taken ") + path);
    return f;
}
inline bool logged_flush(SysFile* f) {
    byte_calls.emplace_back("flush");
    return native_file_bytes.flush(f);
}
inline bool logged_close(SysFile* f) {
    byte_calls.emplace_back("close");
    return native_file_bytes.close(f);
}
inline bool logged_rename(const char* from, const char* to) {
    byte_calls.push_back(std::string("rename ") + from + " to " + to);
    return native_file_bytes.rename(from, to);
}
inline unsigned long long fixed_clock() {
    return 41;
}

inline void put(const std::string& path, const char* text, OpenMode mode) {
    PlatFile* f = plat_open(path.c_str(), mode);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_TRUE(plat_write_text(f, text));
    EXPECT_TRUE(plat_close(f));
}

// Another process's new file stands at the first name this one would take (same process id,
// as on another PC sharing the folder). The replacement leaves it as it is, takes the next
// name, and flushes its data before the close and the rename.
inline void taken_name_is_left_and_data_flushed_first(const std::string& target) {
    put(target, "old batch\n", OpenMode::write);
    std::string stem = target + "." + std::to_string(native_file_bytes.process_id()) + ".";
    std::string theirs = stem + "41.new", ours = stem + "42.new";
    put(theirs, "another process's file\n", OpenMode::write);

    FileBytes saved = file_bytes;
    file_bytes.create_new = logged_create_new;
    file_bytes.flush = logged_flush;
    file_bytes.close = logged_close;
    file_bytes.rename = logged_rename;
    file_bytes.clock = fixed_clock;
    byte_calls.clear();
    PlatFile* f = plat_open(target.c_str(), OpenMode::replace);
    bool written = f != nullptr && plat_write_text(f, "new batch\n");
    bool closed = f != nullptr && plat_close(f);
    file_bytes = saved;

    EXPECT_TRUE(written && closed);
    EXPECT_EQ(byte_calls, (std::vector<std::string>{"taken " + theirs, "create " + ours, "flush",
                                                    "close", "rename " + ours + " to " + target}));
    EXPECT_EQ(text_of(target), "new batch\n");
    EXPECT_EQ(text_of(theirs), "another process's file\n");
    EXPECT_EQ(text_of(ours), "<unopenable>") << "our new file took the target's name";
}

} // namespace replace_cases
