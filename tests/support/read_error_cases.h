// read_error_cases.h - every reader over a support file whose reading fails in the system's byte
// calls, run by the platform tests of both builds: a file whose first read fails ends its stage
// as a missing one does, and so does a later failure in a file read whole; where part of the
// file has been relayed already, it stays, and a notice says that the rest could not be read.
#pragma once

#include "append_lock_cases.h"
#include "file_bytes.h"
#include "holidays_file.h"
#include "logweb_check.h"
#include "notices.h"
#include "platform.h"
#include "settings_file.h"
#include "system_msg.h"
#include "tables_file.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace read_error_cases {

struct Ended {
    int status;
};
struct HandedOver {};

inline const char* failing_name = nullptr; // the file whose reads fail, as the program names it
inline SysFile* failing_file = nullptr;
inline int reads_left = 0; // reads of it that go through before one fails

inline SysFile* watched_open(const char* path, OpenMode mode, unsigned long long* size) {
    SysFile* f = native_file_bytes.open(path, mode, size);
    if (f != nullptr && failing_name != nullptr && std::string(path) == failing_name)
        failing_file = f;
    return f;
}
inline std::size_t failing_read(SysFile* f, char* buf, std::size_t cap) {
    if (f == failing_file && reads_left-- == 0)
        return READ_FAILED;
    return native_file_bytes.read(f, buf, cap);
}
[[noreturn]] inline void end_stage(int status) {
    throw Ended{status};
}
[[noreturn]] inline void hand_over(const char* /*path*/) {
    throw HandedOver{};
}
inline std::string console;
inline void to_console(const char* text) {
    console += text;
}

struct Row {
    const char* name;   // the support file, as the program names it
    std::string text;   // what it holds
    int (*stage)();     // its reader
    int failing;        // which of its reads fails: 0 the first
    bool as_missing;    // the stage ends as for the file missing; else a notice says so
    const char* notice; // that notice
};

// How a stage ended, its console, and the notice file's text afterwards. The install folder's
// files are named by what follows the program's last backslash.
inline std::string run_stage(const Row& row, const std::filesystem::path& install, bool missing,
                             int failing) {
    const char* cut = std::strrchr(row.name, '\\');
    std::filesystem::path file = cut != nullptr ? install / (cut + 1) : row.name;
    std::filesystem::remove(install / "TELVOX.MSG");
    std::filesystem::remove(install / "merge.bat");
    std::filesystem::remove(file);
    if (!missing)
        std::ofstream(file, std::ios::binary) << row.text;
    PlatformOps saved_plat = plat;
    FileBytes saved_bytes = file_bytes;
    plat.exit_process = end_stage;
    plat.overlay = hand_over;
    plat.console_write = to_console;
    console.clear();
    file_bytes.open = watched_open;
    file_bytes.read = failing_read;
    failing_name = row.name;
    failing_file = nullptr;
    reads_left = failing;
    std::string end = "returned";
    try {
        row.stage();
    } catch (const Ended& e) {
        end = "ended " + std::to_string(e.status);
    } catch (const HandedOver&) {
        end = "handed over";
    }
    plat = saved_plat;
    file_bytes = saved_bytes;
    failing_name = nullptr;
    return end + ", console \"" + console + "\": " + append_lock_cases::text_of(NOTICE_FILE);
}

inline std::string lines(const char* line, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += line;
    return text;
}

// Runs every row with the install folder at install (\QUARRINE\ as the program names it) and the
// working directory at it, which is where the calendar is looked for.
inline void every_reader(const std::filesystem::path& install) {
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(install);
    const std::string TABLES = "[numcom] = 1\n[roll_day]\n1,0,0,0\n[roll_month]\n0,0,0,0\n"
                               "[precision]\n2,0,0,0\n[bytes]\n2,0,0,0\n[compu_trac]\n2,0,0,0\n"
                               "[mynames]\nSP S&P 500\n[all_tag]\n1HHMMUUZZHHMM\n";
    const std::string HOST = "09:14:03 200 RETR https://download.quarrine.example/updates/";
    const Row rows[] = {
        {TABLES_FILE, TABLES, load_tables, 0, true, ""},
        {TABLES_FILE, TABLES, load_tables, 1, true, ""},
        {SETTINGS_FILE, "USER ID = demo01\n", load_ini, 0, true, ""},
        {SETTINGS_FILE, "USER ID = demo01\n", load_ini, 1, true, ""},
        {HOLIDAYS_FILE, "12/25/99 20\n", load_holidays, 0, true, ""},
        {HOLIDAYS_FILE, "12/25/99 20\n", load_holidays, 1, true, ""},
        {SYSTEM_MSG_FILE, lines("Closed on Friday.\n", 2), process_system_msg, 0, true, ""},
        {SYSTEM_MSG_FILE, lines("Closed on Friday.\n", 2), process_system_msg, 1, false,
         "ERROR, could not read all of the system message file SYSTEM.MSG"},
        {LOGWEB_FILE, HOST + "0301.cot\nAuthorization failed\n", check_logweb, 0, true, ""},
        {LOGWEB_FILE, HOST + "0301.cot\nAuthorization failed\n", check_logweb, 1, false,
         "ERROR, could not read all of the web log file LOGWEB.TXT"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", read " + std::to_string(row.failing) + " fails");
        std::string failed = run_stage(row, install, false, row.failing);
        if (row.as_missing) {
            EXPECT_EQ(failed, run_stage(row, install, true, -1));
            continue;
        }
        // What was relayed before the failure stays, and the notice follows it.
        std::string whole = run_stage(row, install, false, -1);
        std::string block = "\n*******************     NOTICE     *************************\n\n" +
                            std::string(row.notice) + "\n    ";
        EXPECT_EQ(failed, whole + block);
    }
    std::filesystem::current_path(before);
}

} // namespace read_error_cases
