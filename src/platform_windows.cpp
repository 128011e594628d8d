// platform_windows.cpp - the platform operations on Windows: files on the system's own calls
// beneath the program's own text mode, and the C runtime's wildcard search, date text, command
// interpreter and overlay. A file that another program holds is waited for. Every call on files
// goes through the table in platform_windows.h.
#include "platform_windows.h"

#include "file_bytes.h"
#include "platform.h"
#include "text_mode.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <io.h>
#include <process.h>
#include <string>
#include <sys/stat.h>
#include <time.h>

bool held_failure(unsigned long error, unsigned long attributes, unsigned long look_error) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return true;
    constexpr DWORD REFUSED_AT_ONCE = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY;
    if (error != ERROR_ACCESS_DENIED ||
        (attributes != INVALID_FILE_ATTRIBUTES && (attributes & REFUSED_AT_ONCE) != 0))
        return false;
    return look_error == ERROR_ACCESS_DENIED;
}

// The class of the newer mark (21, after FileIdExtdDirectoryRestartInfo), which this SDK's
// header declares only for a _WIN32_WINNT that no system has.
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Access denied and a sharing violation are the file's own refusals (a read-only file, one held
// open), which the older mark meets too. Any other failure means that the system, the file
// system or a network redirector does not know the newer mark: Windows 10 1607 and Server 2016
// answer ERROR_INVALID_FUNCTION, older systems and FAT ERROR_INVALID_PARAMETER or
// ERROR_NOT_SUPPORTED.
bool mark_for_deletion(HANDLE h, bool posix_first) {
    if (posix_first) {
        FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE |
                                       FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
        if (win.set_file_information_by_handle(h, DISPOSITION_INFO_EX, &posix, sizeof posix) != 0)
            return true;
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return false;
    }
    FILE_DISPOSITION_INFO gone{TRUE};
    return win.set_file_information_by_handle(h, FileDispositionInfo, &gone, sizeof gone) != 0;
}

namespace {

constexpr DWORD WAIT_STEP_MS = 20; // the step of every wait for another program

struct WinFile {
    HANDLE handle;
    bool locked; // appending: holds the appenders' lock
};

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The error of an open of path that asks only to read its attributes and shares everything, so
// that no other program's open stands in its way; ERROR_SUCCESS when it opens.
DWORD look_error(const char* path) {
    HANDLE h = win.create_file(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    win.close_handle(h);
    return ERROR_SUCCESS;
}

// Whether the failure of a call on the file at path comes from another program (see
// held_failure). Asked right after the failed call, before any other; the looks at the file
// that access denied needs come only then.
bool held_error(DWORD error, const char* path) {
    if (error != ERROR_ACCESS_DENIED)
        return held_failure(error, 0, ERROR_SUCCESS);
    DWORD attributes = win.get_file_attributes(path);
    return held_failure(error, attributes, look_error(path));
}

// Tries an operation again in short steps while its failure comes from another program, until
// HELD_FILE_WAIT_MS have passed; the last try starts after that. held is asked right after a
// failed try.
template <typename Attempt, typename Held> bool wait_while_held(Attempt attempt, Held held) {
    ULONGLONG started = win.get_tick_count64();
    for (;;) {
        bool last = win.get_tick_count64() - started >= HELD_FILE_WAIT_MS;
        if (attempt())
            return true;
        if (last || !held())
            return false;
        win.sleep(WAIT_STEP_MS);
    }
}

// Opens a file, waiting while another program holds it against this open. A missing file, or
// one that may not be opened so, fails at once. The handle is not inherited by the programs
// the run starts.
HANDLE open_waiting(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    HANDLE h = INVALID_HANDLE_VALUE;
    wait_while_held(
        [&] {
            h = win.create_file(path, access, share, nullptr, disposition, flags, nullptr);
            return h != INVALID_HANDLE_VALUE;
        },
        [&] { return held_error(GetLastError(), path); });
    return h;
}

// The access of an open in each mode. An append asks for FILE_APPEND_DATA without
// FILE_WRITE_DATA, so that the system puts every write at the end of the file as it stands at
// that moment, whole, whatever another program appended meanwhile; GENERIC_READ is what
// LockFileEx asks of the handle besides. Like the runtime's own fopen, every open lets other
// programs go on reading and writing the file meanwhile.
DWORD access_of(OpenMode mode) {
    if (mode == OpenMode::read)
        return GENERIC_READ;
    return mode == OpenMode::append ? GENERIC_READ | FILE_APPEND_DATA : GENERIC_WRITE;
}
constexpr DWORD SHARE_READ_WRITE = FILE_SHARE_READ | FILE_SHARE_WRITE;

OVERLAPPED lock_place() {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(APPEND_LOCK_OFFSET & 0xFFFFFFFFULL);
    at.OffsetHigh = static_cast<DWORD>(APPEND_LOCK_OFFSET >> 32);
    return at;
}

// Takes the appenders' lock, waiting in short steps while another run holds it, for no longer
// than the run has left of its time for such waits. false when that ran out or the file takes
// no locks (a device): the append goes on without it.
bool take_append_lock(HANDLE h) {
    ULONGLONG started = win.get_tick_count64();
    for (;;) {
        OVERLAPPED at = lock_place();
        bool taken = win.lock_file_ex(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                                      0, &at) != 0;
        bool other = !taken && GetLastError() != ERROR_LOCK_VIOLATION;
        ULONGLONG waited = win.get_tick_count64() - started;
        if (taken || other || waited >= append_lock_wait_left_ms) {
            spend_append_lock_wait(waited);
            return taken;
        }
        win.sleep(WAIT_STEP_MS);
    }
}

SysFile* wrap(HANDLE h, bool locked) {
    return reinterpret_cast<SysFile*>(new WinFile{h, locked});
}

HANDLE handle_of(SysFile* file) {
    return reinterpret_cast<WinFile*>(file)->handle;
}

// Root-relative paths are handed over as they stand.
SysFile* win_open(const char* path, OpenMode mode, unsigned long long* size) {
    DWORD disposition = OPEN_EXISTING;
    if (mode == OpenMode::write)
        disposition = CREATE_ALWAYS;
    else if (mode == OpenMode::append)
        disposition = OPEN_ALWAYS;
    HANDLE h = open_waiting(path, access_of(mode), SHARE_READ_WRITE, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    bool locked = mode == OpenMode::append && take_append_lock(h);
    LARGE_INTEGER bytes{};
    *size = win.get_file_size_ex(h, &bytes) != 0 && bytes.QuadPart > 0
                ? static_cast<unsigned long long>(bytes.QuadPart)
                : 0;
    return wrap(h, locked);
}

// No other program may open the new file until it is closed. A name whose file is still on its
// way out refuses the create with access denied, as one that is there refuses it as existing:
// both are taken.
SysFile* win_create_new(const char* path, bool* taken) {
    HANDLE h = win.create_file(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
             error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    return h == INVALID_HANDLE_VALUE ? nullptr : wrap(h, false);
}

// One call takes at most this much, well within a DWORD.
constexpr std::size_t CALL_MAX = 1 << 30;

// A synchronous read at the end of a file succeeds with no bytes; a failed one is an error, never
// the end ("Testing for the End of a File"). Bytes that another program has locked refuse the
// read with ERROR_LOCK_VIOLATION, which is waited for as a hold is.
std::size_t win_read(SysFile* file, char* buf, std::size_t cap) {
    DWORD got = 0;
    auto want = static_cast<DWORD>(cap < CALL_MAX ? cap : CALL_MAX);
    bool read = wait_while_held(
        [&] { return win.read_file(handle_of(file), buf, want, &got, nullptr) != 0; },
        [] { return GetLastError() == ERROR_LOCK_VIOLATION; });
    return read && got <= want ? got : READ_FAILED;
}

// A block of the text mode is one WriteFile; the system writes a file's bytes whole or fails,
// so the loop goes round again only for a block larger than one call takes.
bool win_write(SysFile* file, const char* data, std::size_t len) {
    while (len > 0) {
        DWORD put = 0;
        auto want = static_cast<DWORD>(len < CALL_MAX ? len : CALL_MAX);
        if (win.write_file(handle_of(file), data, want, &put, nullptr) == 0 || put == 0 ||
            put > want)
            return false;
        data += put;
        len -= put;
    }
    return true;
}

bool win_flush(SysFile* file) {
    return win.flush_file_buffers(handle_of(file)) != 0;
}

bool win_close(SysFile* file) {
    auto* f = reinterpret_cast<WinFile*>(file);
    if (f->locked) {
        OVERLAPPED at = lock_place();
        win.unlock_file_ex(f->handle, 0, 1, 0, &at);
    }
    bool ok = win.close_handle(f->handle) != 0;
    delete f;
    return ok;
}

// The deletion's own open: exclusive, so that it fails while any other program has the file's
// data open, and so that nobody can write to the file between the look at its size and the
// deletion. Like the runtime's remove, it opens a link itself, never a folder (not opened
// without backup semantics). The run check takes it once, to foresee the deletion.
HANDLE open_for_deletion(const char* path, bool wait) {
    constexpr DWORD ACCESS = DELETE | FILE_READ_ATTRIBUTES;
    constexpr DWORD FLAGS = FILE_FLAG_OPEN_REPARSE_POINT;
    return wait ? open_waiting(path, ACCESS, 0, OPEN_EXISTING, FLAGS)
                : win.create_file(path, ACCESS, 0, nullptr, OPEN_EXISTING, FLAGS, nullptr);
}

// Whether a rename over the file at to that failed with error comes from another program, so
// that it is waited for. NTFS refuses it with access denied while another program has the
// file's data open, which the deletion's exclusive open then meets as a sharing violation; a
// deletion still pending is waited for as for an open. Any other access denied lasts: the
// folder or the file refuses this user, or the file system refuses to rename over a file that
// has any handle open, one that only reads its attributes included, as FAT and exFAT do; the
// exclusive open does not see such handles.
bool rename_held(DWORD error, const char* to) {
    if (error != ERROR_ACCESS_DENIED)
        return held_error(error, to);
    HANDLE h = open_for_deletion(to, false);
    if (h != INVALID_HANDLE_VALUE) {
        win.close_handle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION || held_error(ERROR_ACCESS_DENIED, to);
}

// The data was flushed before. MOVEFILE_WRITE_THROUGH returns only once the rename is on the
// disk; NTFS journals it, so that a power cut leaves either file whole at the name.
bool win_rename(const char* from, const char* to) {
    constexpr DWORD FLAGS = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    return wait_while_held([&] { return win.move_file_ex(from, to, FLAGS) != 0; },
                           [&] { return rename_held(GetLastError(), to); });
}

bool win_remove_own(const char* path) {
    return win.delete_file(path) != 0;
}

unsigned long win_process_id() {
    return GetCurrentProcessId();
}

unsigned long long win_clock() {
    return win.get_tick_count64();
}

// The size as the file system has it now, asked through an open handle: a folder search may
// report a size that lags the file (see fill_entry).
bool empty_now(HANDLE h) {
    LARGE_INTEGER size{};
    return win.get_file_size_ex(h, &size) != 0 && size.QuadPart == 0;
}

// A file is deleted only while no other program has its data open: the deletion waits for a
// holder as an open does, and is refused when the hold outlasts the wait. Never a read-only
// file: the system refuses to mark one.
bool win_remove(const char* path, bool only_empty) {
    HANDLE h = open_for_deletion(path, true);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = (!only_empty || empty_now(h)) && mark_for_deletion(h, true);
    return win.close_handle(h) != 0 && ok;
}

constexpr std::size_t COMMAND_MAX = 300;

// ATTRIB clears the mark; a path too long for the command line is left alone. ATTRIB leaves the
// mark of a hidden or system file ("Not resetting hidden file"), so a mark still there after it
// is cleared by the system's call, which keeps every other attribute.
void win_make_writable(const char* path) {
    char command[COMMAND_MAX];
    int len = std::snprintf(command, sizeof command, "ATTRIB -R %s", path);
    if (len > 0 && static_cast<std::size_t>(len) < sizeof command)
        win.command(command);
    DWORD attributes = win.get_file_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        win.set_file_attributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

struct WinFind {
    intptr_t handle;
};

// The 64-bit search record, so that a file of 4 GiB or more is never seen as empty. The size is
// the folder listing's, which can lag the file: NTFS brings a listed size up to date when the
// file is closed, and a network drive's client keeps listings for seconds.
void fill_entry(const __finddata64_t& found, FindEntry* entry) {
    // NOLINTNEXTLINE(cert-err33-c): the entry has room for any name a search finds
    std::snprintf(entry->name, sizeof entry->name, "%s", found.name);
    bool folder = (found.attrib & _A_SUBDIR) != 0;
    entry->size = folder || found.size < 0 ? 0 : static_cast<unsigned long long>(found.size);
}

PlatFind* win_find_first(const char* pattern, FindEntry* entry) {
    __finddata64_t found;
    intptr_t handle = win.find_first64(pattern, &found);
    if (handle == -1)
        return nullptr;
    fill_entry(found, entry);
    return reinterpret_cast<PlatFind*>(new WinFind{handle});
}

bool win_find_next(PlatFind* search, FindEntry* entry) {
    __finddata64_t found;
    if (win.find_next64(reinterpret_cast<WinFind*>(search)->handle, &found) != 0)
        return false;
    fill_entry(found, entry);
    return true;
}

void win_find_close(PlatFind* search) {
    auto* s = reinterpret_cast<WinFind*>(search);
    win.find_close(s->handle);
    delete s;
}

void win_today(char out[9]) {
    _strdate(out);
}

// The updater's command line is the program's own constant, for the command interpreter.
int win_run_command(const char* command) {
    return win.command(command);
}

// The runtime starts the batch through the command interpreter and ends this process with
// status 0; it returns only when the start failed.
void win_overlay(const char* path) {
    _spawnl(_P_OVERLAY, path, path, static_cast<const char*>(nullptr));
}

// A console that cannot be written leaves nowhere to report it, so the results go unused.
void win_console_write(const char* text) {
    std::fputs(text, stdout); // NOLINT(cert-err33-c)
}
void win_console_flush() {
    std::fflush(stdout); // NOLINT(cert-err33-c)
}
void win_exit(int status) {
    std::exit(status);
}

// Whether the folder would take a new file from this user: an open of the folder that asks for
// the right to add a file (FILE_ADD_FILE) meets the same access check as a create in it, and
// changes nothing.
bool folder_takes_files(const std::string& folder) {
    HANDLE h = win.create_file(folder.c_str(), FILE_ADD_FILE, SHARE_ALL, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_ACCESS_DENIED;
    win.close_handle(h);
    return true;
}

// Whether the file system that holds the open file refuses to rename over a file that any
// program has open, even only to read its attributes: FAT and exFAT do, NTFS does not.
bool renames_only_unopened(HANDLE h) {
    wchar_t name[MAX_PATH + 1] = {};
    if (win.get_volume_information_by_handle(h, nullptr, 0, nullptr, nullptr, nullptr, name,
                                             MAX_PATH + 1) == 0)
        return false;
    return std::wcscmp(name, L"FAT") == 0 || std::wcscmp(name, L"FAT32") == 0 ||
           std::wcscmp(name, L"exFAT") == 0;
}

} // namespace

// The runtime refuses to write or delete a file with the read-only mark, and to open a folder as
// a file; a new file needs its folder to exist and to take files from this user. Beyond the
// mark, the run's own opens are made without writing or deleting anything, so that a file or
// folder that refuses this user is seen as the run would meet it. Paths go to the system as
// they stand.
PathState native_probe(const char* path, bool mark_cleared) {
    // A new file needs the folder that would hold it ("\X" lies in "\").
    std::string folder = ".";
    if (const char* cut = std::strrchr(path, '\\'))
        folder.assign(path, cut == path ? 1 : static_cast<std::size_t>(cut - path));
    struct _stat64 folder_st;
    PathState state{};
    state.can_create = win.stat64(folder.c_str(), &folder_st) == 0 &&
                       (folder_st.st_mode & _S_IFDIR) != 0 && folder_takes_files(folder);
    struct _stat64 st;
    if (win.stat64(path, &st) != 0) {
        state.can_write = state.can_create;
        return state;
    }
    bool is_folder = (st.st_mode & _S_IFDIR) != 0;
    state.marked = !is_folder && (st.st_mode & _S_IWRITE) == 0;
    bool writable = mark_cleared || !state.marked;
    DWORD attributes = win.get_file_attributes(path);
    state.exists = true;
    state.file = (st.st_mode & _S_IFREG) != 0;
    state.can_write = !is_folder && writable;
    state.can_delete = !is_folder && writable;
    state.overwrite_refused = attributes != INVALID_FILE_ATTRIBUTES &&
                              (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
    state.empty = st.st_size == 0;
    if (state.can_write && !state.marked) {
        // The append's own open, without the append or the lock.
        HANDLE h = win.create_file(path, access_of(OpenMode::append), SHARE_READ_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        state.can_write = h != INVALID_HANDLE_VALUE;
        if (state.can_write)
            win.close_handle(h);
    }
    if (state.can_delete) {
        // The deletion's own open, without the deletion: it fails while another program has
        // the file open, and it sees the size as the deletion would.
        HANDLE h = open_for_deletion(path, false);
        state.can_delete = h != INVALID_HANDLE_VALUE;
        if (state.can_delete) {
            state.empty = empty_now(h);
            state.renames_only_unopened = renames_only_unopened(h);
            win.close_handle(h);
        }
    }
    return state;
}

// The run's own open, once and without creating or changing anything. A replacement is held
// off where the deletion's exclusive open would be: a rename over a file fails while any
// program has it open.
bool native_held(const char* path, OpenMode mode) {
    HANDLE h = mode == OpenMode::replace
                   ? open_for_deletion(path, false)
                   : win.create_file(path, access_of(mode), SHARE_READ_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return held_error(GetLastError(), path);
    win.close_handle(h);
    return false;
}

bool native_change_folder(const char* folder) {
    return _chdir(folder) == 0;
}

extern const char* const NATIVE_HELP_SWITCH = "/?";

// The runtime's system, for the table: the updater's command line and ATTRIB's are the
// program's own constants.
int run_interpreter(const char* command) {
    return std::system(command); // NOLINT(cert-env33-c)
}

extern const WinCalls native_win_calls = {
    CreateFileA,
    ReadFile,
    WriteFile,
    FlushFileBuffers,
    CloseHandle,
    LockFileEx,
    UnlockFileEx,
    MoveFileExA,
    DeleteFileA,
    SetFileInformationByHandle,
    GetFileAttributesA,
    SetFileAttributesA,
    GetFileSizeEx,
    GetVolumeInformationByHandleW,
    GetTickCount64,
    Sleep,
    run_interpreter,
    _findfirst64,
    _findnext64,
    _findclose,
    _stat64,
};
WinCalls win = native_win_calls;

extern const FileBytes native_file_bytes = {
    win_open,   win_create_new, win_read,       win_write, win_flush, win_close,
    win_rename, win_remove_own, win_process_id, win_clock, "\r\n",
};

extern const PlatformOps native_platform = {
    text_mode_open,    text_mode_read,       text_mode_write, text_mode_close,   win_remove,
    win_make_writable, text_mode_holds_text, win_find_first,  win_find_next,     win_find_close,
    win_today,         win_run_command,      win_overlay,     win_console_write, win_console_flush,
    win_exit,
};
