// platform_windows.h - inside the Windows platform: the system and runtime calls it makes on
// files, in one table that its tests swap entry by entry so that any call can answer as some
// real Windows, file system or network drive would; and the rules it applies to their failures.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <io.h>
#include <sys/stat.h>

// Every call of the Windows platform on files, and on time for the waits. The platform calls
// only these entries; each starts as the system's or the runtime's own function.
struct WinCalls {
    decltype(&CreateFileA) create_file;
    decltype(&ReadFile) read_file;
    decltype(&WriteFile) write_file;
    decltype(&FlushFileBuffers) flush_file_buffers;
    decltype(&CloseHandle) close_handle;
    decltype(&LockFileEx) lock_file_ex;
    decltype(&UnlockFileEx) unlock_file_ex;
    decltype(&MoveFileExA) move_file_ex;
    decltype(&DeleteFileA) delete_file;
    decltype(&SetFileInformationByHandle) set_file_information_by_handle;
    decltype(&GetFileAttributesA) get_file_attributes;
    decltype(&SetFileAttributesA) set_file_attributes;
    decltype(&GetFileSizeEx) get_file_size_ex;
    decltype(&GetVolumeInformationByHandleW) get_volume_information_by_handle;
    decltype(&GetTickCount64) get_tick_count64;
    decltype(&Sleep) sleep;
    int (*command)(const char*); // the runtime's system: the command interpreter
    decltype(&_findfirst64) find_first64;
    decltype(&_findnext64) find_next64;
    decltype(&_findclose) find_close;
    int (*stat64)(const char*, struct _stat64*);
};

// The calls in force, and the native ones for tests that wrap them.
extern WinCalls win;
extern const WinCalls native_win_calls;

// Whether a failed open, given by its error (GetLastError), the attributes of the file at the
// path right after it (GetFileAttributesA) and the error of an open of that path that asks only
// to read attributes and shares everything (ERROR_SUCCESS when it opened), comes from another
// program for now, so that it is waited for: a hold that shares too little, a lock, or a
// deletion still pending (another program deleted the file while someone held it, and it goes
// when the last holder lets go), which refuses every open of its name, even that one, with
// access denied. Any other access denied lasts (a read-only file, a folder, a file or folder
// that refuses this user, a hidden or system file written over) and fails at once.
bool held_failure(unsigned long error, unsigned long attributes, unsigned long look_error);

// Marks the file open at h, with DELETE access, for deletion when h is closed. With posix_first
// the name goes at that close even while other programs still have the file open (Windows 10
// and later, on NTFS); where the system or the file system does not take that, and without
// posix_first, the name goes only once the last handle to the file is closed.
bool mark_for_deletion(HANDLE h, bool posix_first);
