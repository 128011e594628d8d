// file_bytes.h - the byte calls beneath the program's own text mode: what each system does to
// open, read, write, flush, rename and close a file. Each platform fills the table once.
#pragma once

#include "platform.h"

#include <cstddef>

struct SysFile; // a file open on the system, owned by the platform

// The table of byte calls. The text mode above it (text_mode.cpp) is the same on every build;
// tests swap single entries to count or fail the calls it makes.
struct FileBytes {
    // Opens a file to read (one that exists, never a folder), to write from empty (created when
    // missing) or to append (created when missing). An append holds the appenders' lock until
    // the close, and the system puts each of its writes at the file's end, whole. An open that
    // another program holds off is waited for as platform.h says. *size is the file's size once
    // it is open. nullptr when it cannot be opened.
    SysFile* (*open)(const char* path, OpenMode mode, unsigned long long* size);
    // Creates a file that must not exist yet, which no other program may open meanwhile.
    // nullptr when it cannot; *taken then tells whether something already has that name.
    SysFile* (*create_new)(const char* path, bool* taken);
    // Reads up to cap bytes as they are; 0 at the end of the file, READ_FAILED on an error
    // (another program's lock on the bytes is waited for as a hold is).
    std::size_t (*read)(SysFile* file, char* buf, std::size_t cap);
    // Writes all len bytes, in one system call where the system takes them in one.
    bool (*write)(SysFile* file, const char* data, std::size_t len);
    // Puts what was written onto the disk itself, not just the system's cache.
    bool (*flush)(SysFile* file);
    // Lets go of the appenders' lock, if it is held, and closes the file.
    bool (*close)(SysFile* file);
    // Puts the file at from in the place of the one at to, in one step, and makes that step
    // last through a power cut where the system can. Waited for while another program holds
    // the file at to.
    bool (*rename)(const char* from, const char* to);
    // Deletes a file that this process created and no one else has open.
    bool (*remove_own)(const char* path);
    // This process's id and a clock that counts on, for names that no other process takes.
    unsigned long (*process_id)();
    unsigned long long (*clock)();
    // How this system ends a line in a text file: "\n" or "\r\n".
    const char* line_end;
};

// The calls in force; starts as the native ones.
extern FileBytes file_bytes;
// The native calls, for tests that wrap them.
extern const FileBytes native_file_bytes;
