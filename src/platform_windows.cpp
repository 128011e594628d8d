// platform_windows.cpp - the platform operations on Windows, on the C runtime's own functions:
// text-mode streams, the wildcard search, the date text, the command interpreter and overlay.
// Files are opened through the system first, so that a file another program holds is waited for.
#include "platform_windows.h"
#include "platform.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <string>
#include <sys/stat.h>
#include <time.h>

namespace {

// Taken from ntdll when the program starts, so that the program imports from KERNEL32 and the C
// runtime alone, and so that nothing else runs between a failed call and the look at its status.
using LastStatus = LONG(WINAPI*)();
const LastStatus rtl_get_last_nt_status = reinterpret_cast<LastStatus>(reinterpret_cast<void (*)()>(
    GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetLastNtStatus")));
constexpr DWORD DELETE_PENDING_STATUS = 0xC0000056;

} // namespace

long last_nt_status() {
    return rtl_get_last_nt_status != nullptr ? rtl_get_last_nt_status() : 0;
}

bool held_failure(unsigned long error, long status) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           (error == ERROR_ACCESS_DENIED && static_cast<DWORD>(status) == DELETE_PENDING_STATUS);
}

namespace {

constexpr DWORD WAIT_STEP_MS = 20; // the step of every wait for another program

struct WinFile {
    FILE* stream;
    HANDLE handle; // the stream's own handle, which holds the appenders' lock
    bool locked;
    std::string target; // replacing: the name the file takes at the close
    std::string temp;   // replacing: the file written until then; empty otherwise
};

// Whether the failure of the call just made comes from another program (see held_failure).
// Asked right after the failed call, before any other.
bool held_error(DWORD error) {
    return held_failure(error, error == ERROR_ACCESS_DENIED ? last_nt_status() : 0);
}

// Tries an operation again in short steps while its failure comes from another program, until
// HELD_FILE_WAIT_MS have passed; the last try starts after that. held is asked right after a
// failed try.
template <typename Attempt, typename Held> bool wait_while_held(Attempt attempt, Held held) {
    ULONGLONG started = GetTickCount64();
    for (;;) {
        bool last = GetTickCount64() - started >= HELD_FILE_WAIT_MS;
        if (attempt())
            return true;
        if (last || !held())
            return false;
        Sleep(WAIT_STEP_MS);
    }
}

// Opens a file, waiting while another program holds it against this open. A missing file, or
// one that may not be opened so, fails at once.
HANDLE open_waiting(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    HANDLE h = INVALID_HANDLE_VALUE;
    wait_while_held(
        [&] {
            h = CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
            return h != INVALID_HANDLE_VALUE;
        },
        [] { return held_error(GetLastError()); });
    return h;
}

// Puts a written file in the place of target in one step. A rename over a file that any
// program has open fails with ERROR_ACCESS_DENIED, as it does over a read-only file or a
// folder; only those two fail at once, the rest is waited for like a hold.
bool rename_waiting(const char* from, const char* target) {
    return wait_while_held(
        [&] { return MoveFileExA(from, target, MOVEFILE_REPLACE_EXISTING) != 0; },
        [&] {
            DWORD error = GetLastError();
            if (held_error(error))
                return true;
            if (error != ERROR_ACCESS_DENIED)
                return false;
            DWORD attributes = GetFileAttributesA(target);
            return attributes == INVALID_FILE_ATTRIBUTES ||
                   (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
        });
}

// The access of an open in each mode. Like the runtime's own fopen, it lets other programs go
// on reading and writing the file meanwhile.
DWORD access_of(OpenMode mode) {
    return mode == OpenMode::read ? GENERIC_READ : GENERIC_WRITE;
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
    ULONGLONG started = GetTickCount64();
    for (;;) {
        OVERLAPPED at = lock_place();
        bool taken =
            LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
        bool other = !taken && GetLastError() != ERROR_LOCK_VIOLATION;
        ULONGLONG waited = GetTickCount64() - started;
        if (taken || other || waited >= append_lock_wait_left_ms) {
            spend_append_lock_wait(waited);
            return taken;
        }
        Sleep(WAIT_STEP_MS);
    }
}

// A replacement is written into a new file beside the target, named after it and this process,
// so that runs at once never write into one another's; no other program may open it meanwhile.
// A leftover of that name, from an earlier process of the same id, is removed first.
HANDLE open_replacement(const char* path, std::string& temp) {
    temp = std::string(path) + "." + std::to_string(GetCurrentProcessId()) + ".new";
    HANDLE h = open_waiting(temp.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
        DeleteFileA(temp.c_str()))
        h = open_waiting(temp.c_str(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    return h;
}

// The runtime's text mode does the line-end work: CR-LF reads as LF, a Ctrl-Z ends the file,
// and every LF written goes out as CR-LF; an append moves to the file's end before each write.
// Root-relative paths are handed over as they stand. The handle is not inherited by the
// programs the run starts.
PlatFile* win_open(const char* path, OpenMode mode) {
    DWORD disposition = OPEN_EXISTING;
    const char* how = "wt";
    int flags = _O_TEXT | _O_WRONLY;
    if (mode == OpenMode::read) {
        how = "rt";
        flags = _O_TEXT | _O_RDONLY;
    } else if (mode == OpenMode::write) {
        disposition = CREATE_ALWAYS;
    } else if (mode == OpenMode::append) {
        disposition = OPEN_ALWAYS;
        how = "at";
        flags = _O_TEXT | _O_WRONLY | _O_APPEND;
    }
    std::string temp;
    HANDLE h = mode == OpenMode::replace ? open_replacement(path, temp)
                                         : open_waiting(path, access_of(mode), SHARE_READ_WRITE,
                                                        disposition, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, how);
    if (stream == nullptr) {
        _close(fd);
        if (!temp.empty())
            DeleteFileA(temp.c_str());
        return nullptr;
    }
    bool locked = mode == OpenMode::append && take_append_lock(h);
    std::string target = temp.empty() ? std::string() : std::string(path);
    return reinterpret_cast<PlatFile*>(new WinFile{stream, h, locked, target, temp});
}

std::size_t win_read(PlatFile* file, char* buf, std::size_t cap) {
    return std::fread(buf, 1, cap, reinterpret_cast<WinFile*>(file)->stream);
}

bool win_write(PlatFile* file, const char* data, std::size_t len) {
    return std::fwrite(data, 1, len, reinterpret_cast<WinFile*>(file)->stream) == len;
}

// A write that failed earlier leaves the stream's error mark; the close reports it too. What was
// written goes out before the lock is let go, so the next run appends after it. A replacement
// takes the target's name only when all of it was written, and a failed one is removed.
bool win_close(PlatFile* file) {
    auto* f = reinterpret_cast<WinFile*>(file);
    bool ok = std::ferror(f->stream) == 0;
    if (f->locked) {
        ok = std::fflush(f->stream) == 0 && ok;
        OVERLAPPED at = lock_place();
        UnlockFileEx(f->handle, 0, 1, 0, &at);
    }
    ok = std::fclose(f->stream) == 0 && ok;
    if (!f->temp.empty()) {
        ok = ok && rename_waiting(f->temp.c_str(), f->target.c_str());
        if (!ok)
            DeleteFileA(f->temp.c_str());
    }
    delete f;
    return ok;
}

// A file is deleted only while no other program has it open: the deletion waits for a holder as
// an open does, and is refused when the hold outlasts the wait. Were it left pending until the
// holder lets go, the name would stay taken meanwhile, and other programs' opens of it would
// fail. Like the runtime's remove, it deletes a link itself, never a folder (not opened without
// backup semantics) and never a read-only file (the system refuses to mark one).
// The deletion's own open: exclusive, so that it fails while any other program has the file open,
// and so that nobody can write to the file between the look at its size and the deletion. The
// run check takes it once, to foresee the deletion.
HANDLE open_for_deletion(const char* path, bool wait) {
    constexpr DWORD ACCESS = DELETE | FILE_READ_ATTRIBUTES;
    constexpr DWORD FLAGS = FILE_FLAG_OPEN_REPARSE_POINT;
    return wait ? open_waiting(path, ACCESS, 0, OPEN_EXISTING, FLAGS)
                : CreateFileA(path, ACCESS, 0, nullptr, OPEN_EXISTING, FLAGS, nullptr);
}

// The size as the file system has it now, asked through an open handle: a folder search may
// report a size that lags the file (see fill_entry).
bool empty_now(HANDLE h) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(h, &size) != 0 && size.QuadPart == 0;
}

bool win_remove(const char* path, bool only_empty) {
    HANDLE h = open_for_deletion(path, true);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FILE_DISPOSITION_INFO gone{TRUE};
    bool ok = (!only_empty || empty_now(h)) &&
              SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone) != 0;
    return CloseHandle(h) != 0 && ok;
}

// The bytes are read as they are; the text is what a text-mode write makes of it, every LF
// going out as CR-LF.
bool win_holds_text(const char* path, const char* text) {
    std::string expected;
    for (const char* c = text; *c != '\0'; ++c)
        expected += *c == '\n' ? "\r\n" : std::string(1, *c);
    HANDLE h =
        open_waiting(path, GENERIC_READ, SHARE_READ_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::size_t at = 0;
    bool same = true;
    while (same) {
        char buf[256];
        DWORD got = 0;
        bool read = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0;
        if (!read || got == 0) {
            same = read && at == expected.size();
            break;
        }
        same = got <= expected.size() - at && std::memcmp(buf, expected.data() + at, got) == 0;
        at += got;
    }
    CloseHandle(h);
    return same;
}

constexpr std::size_t COMMAND_MAX = 300;

// ATTRIB clears the mark; a path too long for the command line is left alone.
void win_make_writable(const char* path) {
    char command[COMMAND_MAX];
    int len = std::snprintf(command, sizeof command, "ATTRIB -R %s", path);
    if (len > 0 && static_cast<std::size_t>(len) < sizeof command)
        std::system(command); // NOLINT(cert-env33-c): the mark is cleared by the ATTRIB command
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
    intptr_t handle = _findfirst64(pattern, &found);
    if (handle == -1)
        return nullptr;
    fill_entry(found, entry);
    return reinterpret_cast<PlatFind*>(new WinFind{handle});
}

bool win_find_next(PlatFind* search, FindEntry* entry) {
    __finddata64_t found;
    if (_findnext64(reinterpret_cast<WinFind*>(search)->handle, &found) != 0)
        return false;
    fill_entry(found, entry);
    return true;
}

void win_find_close(PlatFind* search) {
    auto* s = reinterpret_cast<WinFind*>(search);
    _findclose(s->handle);
    delete s;
}

void win_today(char out[9]) {
    _strdate(out);
}

// The updater's command line is the program's own constant, for the command interpreter.
int win_run_command(const char* command) {
    return std::system(command); // NOLINT(cert-env33-c)
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

} // namespace

// The runtime refuses to write or delete a file with the read-only mark, and to open a folder as
// a file; a new file needs its folder to exist. Paths go to the runtime as they stand.
PathState native_probe(const char* path, bool mark_cleared) {
    // A new file needs the folder that would hold it ("\X" lies in "\").
    std::string folder = ".";
    if (const char* cut = std::strrchr(path, '\\'))
        folder.assign(path, cut == path ? 1 : static_cast<std::size_t>(cut - path));
    struct _stat64 folder_st;
    PathState state{};
    state.can_create =
        _stat64(folder.c_str(), &folder_st) == 0 && (folder_st.st_mode & _S_IFDIR) != 0;
    struct _stat64 st;
    if (_stat64(path, &st) != 0) {
        state.can_write = state.can_create;
        return state;
    }
    bool is_folder = (st.st_mode & _S_IFDIR) != 0;
    bool writable = mark_cleared || (st.st_mode & _S_IWRITE) != 0;
    state.exists = true;
    state.file = (st.st_mode & _S_IFREG) != 0;
    state.can_write = !is_folder && writable;
    state.can_delete = !is_folder && writable;
    state.empty = st.st_size == 0;
    if (state.can_delete) {
        // The deletion's own open, without the deletion: it fails while another program has
        // the file open, and it sees the size as the deletion would.
        HANDLE h = open_for_deletion(path, false);
        if (h != INVALID_HANDLE_VALUE) {
            state.empty = empty_now(h);
            CloseHandle(h);
        } else {
            state.can_delete = !held_error(GetLastError());
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
                   : CreateFileA(path, access_of(mode), SHARE_READ_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return held_error(GetLastError());
    CloseHandle(h);
    return false;
}

bool native_change_folder(const char* folder) {
    return _chdir(folder) == 0;
}

extern const char* const NATIVE_HELP_SWITCH = "/?";

extern const PlatformOps native_platform = {
    win_open,      win_read,          win_write,         win_close,
    win_remove,    win_make_writable, win_holds_text,    win_find_first,
    win_find_next, win_find_close,    win_today,         win_run_command,
    win_overlay,   win_console_write, win_console_flush, win_exit,
};
