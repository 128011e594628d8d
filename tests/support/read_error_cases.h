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

struct StageEnd {
    std::string how;
};

inline const char* failing_name = nullptr; // the file whose reads fail, as the program names it
inline SysFile* failing_file = nullptr;
inline int reads_left = 0; // reads of it that go through before one fails
inline std::string console;

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

struct Row {
    const char* name;   // the support file, as the program names it
    std::string text;   // what it holds
    int (*stage)();     // its reader
    const char* notice; // what a later failure adds after the relayed part; nullptr: the file is
                        // read whole, and a later failure ends the stage as the first does
};

// How the stage ended, its console, and the notice file's text afterwards, with the file missing
// or with its read number `failing` failing (-1: none). The install folder's files are named by
// what follows the program's last backslash.
inline std::string run_stage(const Row& row, const std::filesystem::path& install, bool missing,
                             int failing) {
    const char* cut = std::strrchr(row.name, '\\');
    std::filesystem::path file = cut != nullptr ? install / (cut + 1) : row.name;
    for (const std::filesystem::path& gone : {install / "TELVOX.MSG", install / "merge.bat", file})
        std::filesystem::remove(gone);
    if (!missing)
        std::ofstream(file, std::ios::binary) << row.text;
    PlatformOps saved_plat = plat;
    FileBytes saved_bytes = file_bytes;
    plat.exit_process = [](int status) { throw StageEnd{"ended " + std::to_string(status)}; };
    plat.overlay = [](const char*) { throw StageEnd{"handed over"}; };
    plat.console_write = [](const char* text) { console += text; };
    file_bytes.open = watched_open;
    file_bytes.read = failing_read;
    failing_name = row.name;
    failing_file = nullptr;
    reads_left = failing;
    console.clear();
    std::string end = "returned";
    try {
        row.stage();
    } catch (const StageEnd& e) {
        end = e.how;
    }
    plat = saved_plat;
    file_bytes = saved_bytes;
    failing_name = nullptr;
    return end + ", console \"" + console + "\": " + append_lock_cases::text_of(NOTICE_FILE);
}

// Runs every reader, its first read failing and then its second, with the install folder at
// install (\QUARRINE\ as the program names it) and the working directory at it, which is where
// the calendar is looked for.
inline void every_reader(const std::filesystem::path& install) {
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(install);
    const std::string HOST = "09:14:03 200 RETR https://download.quarrine.example/updates/";
    const Row rows[] = {
        {TABLES_FILE,
         "[numcom] = 1\n[roll_day]\n1,0,0,0\n[roll_month]\n0,0,0,0\n[precision]\n2,0,0,0\n"
         "[bytes]\n2,0,0,0\n[compu_trac]\n2,0,0,0\n[mynames]\nSP S&P "
         "500\n[all_tag]\n1HHMMUUZZHHMM\n",
         load_tables, nullptr},
        {SETTINGS_FILE, "USER ID = demo01\n", load_ini, nullptr},
        {HOLIDAYS_FILE, "12/25/99 20\n", load_holidays, nullptr},
        {SYSTEM_MSG_FILE, "Closed on Friday.\nOpen on Monday.\n", process_system_msg,
         "ERROR, could not read all of the system message file SYSTEM.MSG"},
        {LOGWEB_FILE, HOST + "0301.cot\nAuthorization failed\n", check_logweb,
         "ERROR, could not read all of the web log file LOGWEB.TXT"},
    };
    for (const Row& row : rows) {
        for (int failing : {0, 1}) {
            SCOPED_TRACE(std::string(row.name) + ", read " + std::to_string(failing) + " fails");
            std::string failed = run_stage(row, install, false, failing);
            if (failing == 0 || row.notice == nullptr) {
                EXPECT_EQ(failed, run_stage(row, install, true, -1));
                continue;
            }
            // What was relayed before the failure stays, and the notice follows it.
            EXPECT_EQ(failed, run_stage(row, install, false, -1) +
                                  "\n*******************     NOTICE     *************************"
                                  "\n\n" +
                                  row.notice + "\n    ");
        }
    }
    std::filesystem::current_path(before);
}

} // namespace read_error_cases
