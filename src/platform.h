// platform.h - the one door to the operating system: files in text mode, deletion, folder
// search, today's date, running programs and ending the process. Stage code calls only these.
#pragma once

#include <cstddef>

// Paths handed to the platform are the program's own fixed names as written for Windows:
// "\QUARRINE\TELVOX.MSG" is root-relative on the current drive, "HOLIDAYS.KVL" is relative
// to the current directory. Each implementation maps them onto its own file system.

struct PlatFile; // an open file, owned by the implementation
struct PlatFind; // a running folder search

// What a read gives when it failed: never a count, and never the end of the file.
constexpr std::size_t READ_FAILED = static_cast<std::size_t>(-1);

// replace: a new file that takes the place of the one at the path when it is closed, whole;
// until then the path keeps what it held, and a failed write or close leaves it so.
enum class OpenMode { read, write, append, replace };

// One entry yielded by a folder search: the name without its folder and its size in bytes.
// A sub-folder is reported with size 0, as the Windows search does.
constexpr std::size_t FIND_NAME_MAX = 512;
struct FindEntry {
    char name[FIND_NAME_MAX];
    unsigned long long size;
};

// The table of operations. The native implementation fills it at start-up; tests swap single
// entries to fail a chosen call, to feed files from memory or to catch the end of the process.
struct PlatformOps {
    // Opens a file in text mode; nullptr when it cannot be opened.
    PlatFile* (*open)(const char* path, OpenMode mode);
    // Reads up to cap characters of text-mode content: a CR directly before a LF is dropped
    // and a Ctrl-Z byte ends the file. Returns the count; 0 at the end of the file, and
    // READ_FAILED when the read failed, which every later read of the file gives too.
    std::size_t (*read)(PlatFile* file, char* buf, std::size_t cap);
    // Writes len characters in text mode (a LF becomes the platform's line end).
    bool (*write)(PlatFile* file, const char* data, std::size_t len);
    // Closes the file, flushing what was written; false when the flush or close failed.
    bool (*close)(PlatFile* file);
    // Deletes a file (never a folder); false when it did not. With only_empty, only a file that
    // is empty when it is deleted, whatever a search reported of it before.
    bool (*remove)(const char* path, bool only_empty);
    // Clears a file's read-only mark so that it can be replaced.
    void (*make_writable)(const char* path);
    // Whether the file holds exactly the bytes that writing text in text mode gives, no more:
    // raw bytes are compared, so other line ends or a Ctrl-Z at the end make it differ.
    bool (*holds_text)(const char* path, const char* text);
    // Starts a search for a pattern such as "\QUARRINE\UPDATES\*.CLC" and yields the first
    // match into entry; nullptr when nothing matches or the folder does not exist.
    PlatFind* (*find_first)(const char* pattern, FindEntry* entry);
    // Yields the next match; false when there is none.
    bool (*find_next)(PlatFind* search, FindEntry* entry);
    void (*find_close)(PlatFind* search);
    // Today's local date as "MM/DD/YY" (eight characters and a string end).
    void (*today)(char out[9]);
    // Runs a command line through the command interpreter and waits for it; its status.
    int (*run_command)(const char* command);
    // Starts a batch file in place of the current process. Returns only when that failed.
    void (*overlay)(const char* path);
    // Console output (standard output) and its flush.
    void (*console_write)(const char* text);
    void (*console_flush)();
    // Ends the process with a status. A test double may leave by other means instead.
    void (*exit_process)(int status);
};

// Other programs on the same PC: runs of this one at once, and programs that hold a file open.
// An open (on Windows also a deletion or a replacement) that finds the file held against it by
// another program, or still on its way out after another program deleted it, is tried again in
// short steps for this long before its failure stands. POSIX has no holds.
constexpr unsigned HELD_FILE_WAIT_MS = 5000;
// Each open for appending locks one byte this far into the file, far past the end of any real
// file, so that runs at once append in turn while nobody's reads or writes are in the way. The
// lock lasts until the close.
constexpr unsigned long long APPEND_LOCK_OFFSET = 1ULL << 62;
// The waits for that lock take at most this long in one run, however many appends it makes.
// Once the time is spent, an open tries the lock once and, when another program holds it,
// appends without it at once rather than keep the download waiting.
constexpr unsigned APPEND_LOCK_WAIT_MS = 30000;
// What is left of that time in this run. The platform tests set a short one.
extern unsigned long long append_lock_wait_left_ms;
// Takes the time one wait for the lock lasted off what is left (never below nothing).
void spend_append_lock_wait(unsigned long long waited_ms);

// The operations in force; starts as the native implementation.
extern PlatformOps plat;
// The native implementation, for tests that wrap it.
extern const PlatformOps native_platform;

inline PlatFile* plat_open(const char* path, OpenMode mode) {
    return plat.open(path, mode);
}
inline std::size_t plat_read(PlatFile* f, char* buf, std::size_t cap) {
    return plat.read(f, buf, cap);
}
inline bool plat_write(PlatFile* f, const char* data, std::size_t len) {
    return plat.write(f, data, len);
}
bool plat_write_text(PlatFile* f, const char* text);
inline bool plat_close(PlatFile* f) {
    return plat.close(f);
}
inline bool plat_remove(const char* path) {
    return plat.remove(path, false);
}
inline bool plat_remove_if_empty(const char* path) {
    return plat.remove(path, true);
}
inline void plat_make_writable(const char* path) {
    plat.make_writable(path);
}
inline bool plat_holds_text(const char* path, const char* text) {
    return plat.holds_text(path, text);
}
inline PlatFind* plat_find_first(const char* pattern, FindEntry* entry) {
    return plat.find_first(pattern, entry);
}
inline bool plat_find_next(PlatFind* s, FindEntry* entry) {
    return plat.find_next(s, entry);
}
inline void plat_find_close(PlatFind* s) {
    plat.find_close(s);
}
inline void plat_today(char out[9]) {
    plat.today(out);
}
inline void plat_console(const char* text) {
    plat.console_write(text);
}

// Runs a command and waits for it, flushing the console first so that nothing printed so
// far is lost or reordered behind the other program's output.
int plat_run_command(const char* command);
// Replaces the process by a batch file; returns only when the start failed. Flushes first.
void plat_overlay(const char* path);
// Ends the process with a status after flushing the console; never returns.
[[noreturn]] void plat_exit(int status);

// Looking without touching, for the run check that foresees what a run would do. No stage
// calls these, so they stand outside the table: each platform implements them directly.

// What stands at one of the program's paths, judged without opening or changing anything.
struct PathState {
    bool exists;     // something is there (a file, a folder or a link)
    bool file;       // a regular file is there, links followed
    bool can_write;  // opening it for writing or appending would succeed as things stand
    bool can_create; // its folder would take a new file of this name, were this one gone
    bool can_delete; // the deletion of what is there would succeed (never a folder, nor a file
                     // that another program holds open on Windows)
    bool empty;      // what is there holds no bytes, as the deletion itself would find it
    bool marked;     // a file with the read-only mark (on POSIX: without write permission)
    bool overwrite_refused;     // Windows: a hidden or system file, which an open that writes
                                // it from empty is refused
    bool renames_only_unopened; // Windows: its file system (FAT, exFAT) refuses to rename over
                                // it while any program has it open, even only to look at it
};
// mark_cleared: judge the file as if its read-only mark had already been cleared.
PathState native_probe(const char* path, bool mark_cleared);
// Whether another program holds the file open against an open in this mode right now (for
// replace: against putting the new file in its place), so that the open would wait for it
// (never on POSIX).
bool native_held(const char* path, OpenMode mode);
// Makes a folder, named as the user gave it, the working directory; false when it is not one.
bool native_change_folder(const char* folder);
// The platform's own way of asking a program for help ("/?" on Windows); nullptr where there is
// none beyond the usual --help and -h.
extern const char* const NATIVE_HELP_SWITCH;
