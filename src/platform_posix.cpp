// platform_posix.cpp - the platform operations on POSIX, for development, tests and fuzzing.
// Windows paths are mapped under ZELMORTH_ROOT and names match without regard to case; text
// files go through the program's own text mode, as on Windows, with LF line ends.
#include "platform_posix.h"

#include "file_bytes.h"
#include "platform.h"
#include "text_mode.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct PosixFile {
    int fd = -1;
    bool locked = false; // appending: holds the appenders' lock
};

// Finds an entry of folder ("" for the file system's root) whose name equals name without
// regard to case, as Windows does; the exact name wins, and a missing one keeps its spelling.
std::string match_entry(const std::string& folder, const std::string& name) {
    struct stat st;
    std::string exact = folder + "/" + name;
    if (lstat(exact.c_str(), &st) == 0)
        return exact;
    DIR* dir = opendir(folder.empty() ? "/" : folder.c_str());
    if (dir == nullptr)
        return exact;
    std::string found = exact;
    while (dirent* e = readdir(dir)) {
        if (strcasecmp(e->d_name, name.c_str()) == 0) {
            found = folder + "/" + e->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The folder that a path starts from: for a leading backslash the root of the current drive,
// which ZELMORTH_ROOT names (unset means "/", given as ""), else the current directory. rest
// is left at the path's first component.
std::string start_folder(const char* path, const char*& rest) {
    rest = path;
    if (*rest != '\\' && *rest != '/')
        return ".";
    ++rest;
    const char* root = std::getenv("ZELMORTH_ROOT");
    std::string folder = (root != nullptr && *root != '\0') ? root : "/";
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// Maps one of the program's Windows paths onto this file system, component by component, each
// matched without regard to case (see match_entry).
std::string native_path(const char* path) {
    const char* rest = nullptr;
    std::string folder = start_folder(path, rest);
    while (*rest != '\0') {
        const char* end = rest;
        while (*end != '\0' && *end != '\\' && *end != '/')
            ++end;
        std::string part(rest, end);
        if (!part.empty())
            folder = match_entry(folder, part);
        rest = *end != '\0' ? end + 1 : end;
    }
    return folder.empty() ? std::string("/") : folder;
}

// The same path spelt exactly as written, without looking at the file system. When it exists,
// it is what native_path gives too (the exact name wins at every level), so it is tried first
// and saves a lookup per component.
std::string exact_path(const char* path) {
    const char* rest = nullptr;
    std::string name = start_folder(path, rest);
    while (*rest != '\0') {
        const char* end = rest;
        while (*end != '\0' && *end != '\\' && *end != '/')
            ++end;
        if (end != rest) {
            name += '/';
            name.append(rest, end);
        }
        rest = *end != '\0' ? end + 1 : end;
    }
    return name.empty() ? std::string("/") : name;
}

// The name of what stands at a path: the exact spelling when something is there, else the name
// matched without regard to case, which is also the name a new file gets. false when nothing is
// there; st takes what lstat saw of it.
bool find_named(const char* path, std::string& name, struct stat& st) {
    name = exact_path(path);
    if (lstat(name.c_str(), &st) == 0)
        return true;
    name = native_path(path);
    return lstat(name.c_str(), &st) == 0;
}

// Open file description locks where the system has them: they belong to this open alone, so
// no other open of the same file in this process can let them go.
#ifdef F_OFD_SETLK
constexpr int SET_LOCK = F_OFD_SETLK;
#else
constexpr int SET_LOCK = F_SETLK;
#endif
constexpr long LOCK_STEP_NS = 20'000'000; // the step of the wait for the lock

// Locks or unlocks the appenders' byte far past the end of the file.
int set_append_lock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(APPEND_LOCK_OFFSET);
    lock.l_len = 1;
    return fcntl(fd, SET_LOCK, &lock);
}

unsigned long long elapsed_ms(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (static_cast<long long>(now.tv_sec) - since.tv_sec) * 1000 +
                   (now.tv_nsec - since.tv_nsec) / 1'000'000;
    return ms < 0 ? 0 : static_cast<unsigned long long>(ms);
}

// Takes the appenders' lock, waiting in short steps while another run holds it, for no longer
// than the run has left of its time for such waits. false when that ran out or the file takes
// no locks: the append goes on without it.
bool take_append_lock(int fd) {
    timespec started{};
    clock_gettime(CLOCK_MONOTONIC, &started);
    for (;;) {
        bool taken = set_append_lock(fd, F_WRLCK) == 0;
        int error = taken ? 0 : errno;
        if (error == EINTR)
            continue;
        bool other = !taken && error != EAGAIN && error != EACCES;
        unsigned long long waited = elapsed_ms(started);
        if (taken || other || waited >= append_lock_wait_left_ms) {
            spend_append_lock_wait(waited);
            return taken;
        }
        timespec step{0, LOCK_STEP_NS};
        nanosleep(&step, nullptr);
    }
}

SysFile* posix_open(const char* path, OpenMode mode, unsigned long long* size) {
    int flags = O_RDONLY;
    if (mode == OpenMode::write)
        flags = O_WRONLY | O_TRUNC;
    else if (mode == OpenMode::append)
        flags = O_WRONLY | O_APPEND;
    // An existing file under its exact name first; else the name matched without regard to
    // case, which is also where a new file is created.
    int fd = ::open(exact_path(path).c_str(), flags | O_CLOEXEC);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        int create = mode == OpenMode::read ? 0 : O_CREAT;
        fd = ::open(native_path(path).c_str(), flags | create | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        return nullptr;
    // Windows cannot open a folder as a file; opening one for writing fails by itself.
    struct stat st;
    if (mode == OpenMode::read && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd);
        return nullptr;
    }
    auto* f = new PosixFile{fd, false};
    // Every write lands at the file's end (O_APPEND); the size only lines up the large writes,
    // so it is taken once the lock keeps other runs from moving it.
    if (mode == OpenMode::append)
        f->locked = take_append_lock(fd);
    *size = fstat(fd, &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0;
    return reinterpret_cast<SysFile*>(f);
}

// The exclusive create never follows a link planted at the name.
SysFile* posix_create_new(const char* path, bool* taken) {
    int fd = ::open(native_path(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *taken = fd < 0 && errno == EEXIST;
    return fd < 0 ? nullptr : reinterpret_cast<SysFile*>(new PosixFile{fd, false});
}

std::size_t posix_read(SysFile* file, char* buf, std::size_t cap) {
    int fd = reinterpret_cast<PosixFile*>(file)->fd;
    ssize_t got;
    do {
        got = ::read(fd, buf, cap);
    } while (got < 0 && errno == EINTR);
    return got >= 0 ? static_cast<std::size_t>(got) : READ_FAILED;
}

bool posix_write(SysFile* file, const char* data, std::size_t len) {
    int fd = reinterpret_cast<PosixFile*>(file)->fd;
    while (len > 0) {
        ssize_t put = ::write(fd, data, len);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        len -= static_cast<std::size_t>(put);
    }
    return true;
}

bool posix_flush(SysFile* file) {
    return ::fsync(reinterpret_cast<PosixFile*>(file)->fd) == 0;
}

bool posix_close(SysFile* file) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    if (f->locked)
        set_append_lock(f->fd, F_UNLCK);
    bool ok = ::close(f->fd) == 0;
    delete f;
    return ok;
}

// The new name is written into the folder's own data, which the system keeps in its cache like
// any other: the folder is flushed too, so that the rename outlasts a power cut. A flush that
// fails changes nothing of the rename, which has been made.
bool posix_rename(const char* from, const char* to) {
    std::string target;
    struct stat st;
    find_named(to, target, st);
    if (::rename(native_path(from).c_str(), target.c_str()) != 0)
        return false;
    std::size_t slash = target.rfind('/');
    std::string folder = slash == 0 ? "/" : target.substr(0, slash);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir); // NOLINT(cert-err33-c): see above
        ::close(dir);
    }
    return true;
}

bool posix_remove_own(const char* path) {
    return ::unlink(native_path(path).c_str()) == 0;
}

unsigned long posix_process_id() {
    return static_cast<unsigned long>(getpid());
}

// Nanoseconds of the calendar clock: a later process that gets the same id has another time.
unsigned long long posix_clock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1'000'000'000ULL +
           static_cast<unsigned long long>(now.tv_nsec);
}

// unlink removes files and symbolic links, never a folder, like the Windows runtime. The size
// is looked at right before the unlink, but POSIX has no way to keep another program from
// writing between the two: what it writes then goes with the name. The look only narrows that
// to the time between two system calls.
bool posix_remove(const char* path, bool only_empty) {
    std::string name;
    struct stat st;
    if (!find_named(path, name, st) || (only_empty && st.st_size != 0))
        return false;
    return ::unlink(name.c_str()) == 0;
}

void posix_make_writable(const char* path) {
    std::string name = native_path(path);
    struct stat st;
    if (lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ::chmod(name.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

struct PosixFind {
    DIR* dir;
    std::string suffix; // the pattern after its '*', matched without regard to case
};

bool next_match(PosixFind* s, FindEntry* entry) {
    while (dirent* e = readdir(s->dir)) {
        std::size_t len = std::strlen(e->d_name);
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (len < s->suffix.size() || len >= FIND_NAME_MAX)
            continue;
        if (strcasecmp(e->d_name + len - s->suffix.size(), s->suffix.c_str()) != 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(s->dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        std::memcpy(entry->name, e->d_name, len + 1);
        entry->size = S_ISDIR(st.st_mode) ? 0 : static_cast<unsigned long long>(st.st_size);
        return true;
    }
    return false;
}

// Supports the patterns the program uses: a folder, a backslash and "*" followed by a suffix.
PlatFind* posix_find_first(const char* pattern, FindEntry* entry) {
    const char* slash = std::strrchr(pattern, '\\');
    std::string folder = slash != nullptr ? std::string(pattern, slash) : std::string(".");
    const char* mask = slash != nullptr ? slash + 1 : pattern;
    if (*mask != '*')
        return nullptr;
    std::string native = native_path(folder.empty() ? "\\" : folder.c_str());
    DIR* dir = opendir(native.c_str());
    if (dir == nullptr)
        return nullptr;
    auto* s = new PosixFind{dir, mask + 1};
    if (!next_match(s, entry)) {
        closedir(dir);
        delete s;
        return nullptr;
    }
    return reinterpret_cast<PlatFind*>(s);
}

bool posix_find_next(PlatFind* search, FindEntry* entry) {
    return next_match(reinterpret_cast<PosixFind*>(search), entry);
}

void posix_find_close(PlatFind* search) {
    auto* s = reinterpret_cast<PosixFind*>(search);
    closedir(s->dir);
    delete s;
}

void posix_today(char out[9]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    date_text(local, out);
}

// The updater's command line is the program's own constant, run through the shell as the
// command interpreter runs it on Windows.
int posix_run_command(const char* command) {
    return std::system(command); // NOLINT(cert-env33-c)
}

// The batch runs under /bin/sh in this process's place. A batch that is missing or cannot be
// read counts as a start that failed, as it does on Windows, rather than a shell error. It is
// opened here and the shell reads this open through /dev/fd, so that another run replacing the
// batch meanwhile cannot leave the shell without one.
void posix_overlay(const char* path) {
    std::string name = native_path(path);
    int fd = ::open(name.c_str(), O_RDONLY); // kept open across the exec for the shell
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    std::string open_batch = "/dev/fd/" + std::to_string(fd);
    if (access(open_batch.c_str(), R_OK) != 0)
        open_batch = name; // a system without /dev/fd
    ::execl("/bin/sh", "sh", open_batch.c_str(), static_cast<char*>(nullptr));
    ::close(fd);
}

// A console that cannot be written leaves nowhere to report it, so the results go unused.
void posix_console_write(const char* text) {
    std::fputs(text, stdout); // NOLINT(cert-err33-c)
}
void posix_console_flush() {
    std::fflush(stdout); // NOLINT(cert-err33-c)
}
void posix_exit(int status) {
    std::exit(status);
}

// Whether this process may write into, or create and remove entries in, a folder or file.
bool may_write(const std::string& name, int how) {
    return faccessat(AT_FDCWD, name.c_str(), how, AT_EACCESS) == 0;
}

} // namespace

void date_text(const std::tm& local, char out[9]) {
    const unsigned fields[3] = {static_cast<unsigned>(local.tm_mon + 1) % 100,
                                static_cast<unsigned>(local.tm_mday) % 100,
                                static_cast<unsigned>(local.tm_year) % 100};
    for (std::size_t i = 0; i < 3; ++i) {
        out[i * 3] = static_cast<char>('0' + fields[i] / 10);
        out[i * 3 + 1] = static_cast<char>('0' + fields[i] % 10);
        out[i * 3 + 2] = i < 2 ? '/' : '\0';
    }
}

// The same mapping and the same tests that the open, unlink and chmod above meet: a file opens
// for writing when its own permission allows, a new one when its folder does, and unlink needs
// the folder's permission only.
PathState native_probe(const char* path, bool mark_cleared) {
    std::string name = native_path(path);
    std::size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? "." : name.substr(0, slash);
    if (folder.empty())
        folder = "/";
    struct stat folder_st;
    bool folder_ok = stat(folder.c_str(), &folder_st) == 0 && S_ISDIR(folder_st.st_mode) &&
                     may_write(folder, W_OK | X_OK);
    PathState state{};
    state.can_create = folder_ok;
    struct stat link_st;
    if (lstat(name.c_str(), &link_st) != 0) {
        state.can_write = folder_ok;
        return state;
    }
    state.exists = true;
    state.can_delete = !S_ISDIR(link_st.st_mode) && folder_ok;
    state.empty = link_st.st_size == 0;
    struct stat st;
    if (stat(name.c_str(), &st) != 0) { // a link to nothing: opening it creates its target
        state.can_write = folder_ok;
        return state;
    }
    state.file = S_ISREG(st.st_mode);
    state.marked = state.file && !may_write(name, W_OK);
    state.can_write = !S_ISDIR(st.st_mode) && (mark_cleared || may_write(name, W_OK));
    return state;
}

// Nothing holds a file against an open here: POSIX has no sharing modes.
bool native_held(const char* /*path*/, OpenMode /*mode*/) {
    return false;
}

bool native_change_folder(const char* folder) {
    return ::chdir(folder) == 0;
}

extern const char* const NATIVE_HELP_SWITCH = nullptr;

extern const FileBytes native_file_bytes = {
    posix_open,   posix_create_new, posix_read,       posix_write, posix_flush, posix_close,
    posix_rename, posix_remove_own, posix_process_id, posix_clock, "\n",
};

extern const PlatformOps native_platform = {
    text_mode_open,  text_mode_read,      text_mode_write,      text_mode_close,
    posix_remove,    posix_make_writable, text_mode_holds_text, posix_find_first,
    posix_find_next, posix_find_close,    posix_today,          posix_run_command,
    posix_overlay,   posix_console_write, posix_console_flush,  posix_exit,
};
