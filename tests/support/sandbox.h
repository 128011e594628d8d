// sandbox.h - the end-to-end harness: a throw-away drive with an install folder, stand-in
// programs first on the search path, and a run of the built program against it.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;     // exit status, or -1 when the program did not exit normally
    std::string console; // everything written to standard output
    std::string errors;  // everything written to standard error
};

// A file below the drive that a stand-in program holds open without sharing it, as an editor or
// a virus scanner may. Only the Windows build under Wine has such holds; POSIX has none.
struct FileHold {
    std::string rel; // like "QUARRINE/TELVOX.MSG"; the file must exist
    int hold_ms = 0; // held from just before the program starts for this long; 0: until it ends
};

class Sandbox {
  public:
    // Makes a fresh drive with an empty QUARRINE folder and the stand-ins TELVOX.EXE, TELVOX,
    // START, @ECHO and HALTBOX, each of which appends its name and arguments to a log. (The
    // Windows build under Wine gets TELVOX.EXE and HALTBOX.EXE; the rest are built-ins there.)
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The folder that stands for the root of the drive.
    const std::filesystem::path& drive() const { return drive_; }

    // Writes a file below the drive, making its folders; rel is like "QUARRINE/TABLES.INI".
    void write(const std::string& rel, const std::string& bytes) const;
    void make_folder(const std::string& rel) const;
    std::optional<std::string> read(const std::string& rel) const;
    bool exists(const std::string& rel) const;

    // Every entry below the drive: path relative to it, and its bytes; folders end in '/'.
    std::map<std::string, std::string> files() const;

    // The exit status TELVOX.EXE reports (0 unless set).
    void set_updater_status(int status) const;

    // Puts a valid TABLES.INI, TELVOX.INI and HOLIDAYS.KVL (ending a year from today) in the
    // install folder, so that a run gets through the support files.
    void lay_support_files() const;

    // Puts the three files every run deletes in place: the old TELVOX.LOG and TEMPZIP.BAT and
    // the downloaded UPDATES/SYMBOLS.TXT.
    void lay_leftovers() const;

    // Runs the program with the working directory at QUARRINE; arguments are passed as given.
    // Before, zelmorth-check runs on a copy of the drive, which it must leave as it was, and
    // its report must name exactly what the run then does: the files deleted and written, the
    // console lines, the updater or the hand-over to the merge batch, and the exit status.
    // With a hold, the run starts while the file is held; a hold for the whole run holds the
    // copy's file during the check as well, so that the report foresees the file held.
    RunResult run(const std::vector<std::string>& args = {},
                  const std::optional<FileHold>& hold = {}) const;

    // Runs the program, with no check before, while another process appends numbered lines
    // ("other program's line 000001") to the file rel with O_APPEND and without the appenders'
    // lock, one line per write, from before the start until the run has ended; *appended is how
    // many lines it appended. Only on the POSIX build.
    RunResult run_beside_appender(const std::string& rel, unsigned long* appended) const;

    // Starts count runs of the program at once and waits for them all; no check before.
    std::vector<RunResult> run_at_once(int count) const;

    // Runs zelmorth-check on this drive, with the working directory at QUARRINE, while the
    // file of a hold is held. With full_output its standard output refuses every byte.
    RunResult check(const std::vector<std::string>& args = {},
                    const std::optional<FileHold>& hold = {}, bool full_output = false) const;

    // The stand-ins' log, one call per line: "TELVOX.EXE /M [in /QUARRINE]", "HALTBOX ...".
    std::vector<std::string> calls() const;

  private:
    std::filesystem::path top_;   // temporary folder holding everything
    std::filesystem::path drive_; // top_/drive
};

// A calendar line "MM/DD/YY CC\n" for the local date the given number of days from today.
std::string holiday_line(int days_from_today);

// Helpers for building expected notice-file bytes.
std::string notice_block(const std::string& text);

// Which build the runs exercise: the POSIX program, or the Windows program under Wine.
bool sandbox_runs_windows_program();

// The stand-ins' log that one run of the merge batch leaves. The POSIX batch runs under the
// shell with stand-ins for every command. On Windows "@ECHO OFF" and START belong to the
// command interpreter and log nothing, and the three programs START launches run side by
// side, so their lines are given (and logged by the harness) in sorted order.
std::vector<std::string> merge_batch_calls();

// What the console shows when the merge batch is written where there was none: Windows ATTRIB
// reports the missing file; the POSIX build has nothing to clear and prints nothing.
std::string missing_batch_attrib_line();
