// platform_windows.cpp - the platform operations on Windows, on the C runtime's own functions:
// text-mode streams, the wildcard search, the date text, the command interpreter and overlay.
#include "platform.h"

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

namespace {

// The runtime's text mode does the line-end work: CR-LF reads as LF, a Ctrl-Z ends the file,
// and every LF written goes out as CR-LF. Root-relative paths are handed over as they stand.
PlatFile* win_open(const char* path, OpenMode mode) {
    const char* how = "rt";
    if (mode == OpenMode::write)
        how = "wt";
    else if (mode == OpenMode::append)
        how = "at";
    return reinterpret_cast<PlatFile*>(std::fopen(path, how));
}

std::size_t win_read(PlatFile* file, char* buf, std::size_t cap) {
    return std::fread(buf, 1, cap, reinterpret_cast<FILE*>(file));
}

bool win_write(PlatFile* file, const char* data, std::size_t len) {
    return std::fwrite(data, 1, len, reinterpret_cast<FILE*>(file)) == len;
}

// A write that failed earlier leaves the stream's error mark; the close reports it too.
bool win_close(PlatFile* file) {
    FILE* f = reinterpret_cast<FILE*>(file);
    bool ok = std::ferror(f) == 0;
    return std::fclose(f) == 0 && ok;
}

bool win_remove(const char* path) {
    return std::remove(path) == 0;
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

// The 64-bit search record, so that a file of 4 GiB or more is never seen as empty.
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
    return state;
}

bool native_change_folder(const char* folder) {
    return _chdir(folder) == 0;
}

extern const PlatformOps native_platform = {
    win_open,          win_read,       win_write,         win_close,         win_remove,
    win_make_writable, win_find_first, win_find_next,     win_find_close,    win_today,
    win_run_command,   win_overlay,    win_console_write, win_console_flush, win_exit,
};
