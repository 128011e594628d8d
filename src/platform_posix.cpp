// platform_posix.cpp - the platform operations on POSIX, for development, tests and fuzzing.
// Windows paths are mapped under ZELMORTH_ROOT, names match without regard to case, and
// text files are read the way the Windows runtime reads them in text mode.
#include "platform.h"
#include "platform_posix_text.h"

#include <algorithm>
#include <atomic>
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
#include <utility>

namespace {

constexpr std::size_t RAW_CAP = 1 << 18;     // the write buffer
constexpr std::size_t PAGE = 4096;           // the file system's page, for lining up writes
constexpr std::size_t LARGE_WRITE = 1 << 15; // writes from this size on skip the buffer
constexpr char CTRL_Z = 0x1A;

struct PosixFile {
    int fd = -1;
    bool writing = false;
    bool locked = false;        // appending: holds the appenders' lock
    bool at_end = false;        // reading: the end of the file, or a Ctrl-Z, has been reached
    int ahead = -1;             // reading: a byte read ahead to decide a CR, not yet given; -1 none
    bool failed = false;        // writing: a write went wrong; close reports it
    std::size_t len = 0;        // writing: bytes waiting in raw
    unsigned long long end = 0; // writing: the file's size when raw is empty, as far as known
    char* raw = nullptr;        // writing: the write buffer, of RAW_CAP bytes
    std::string target;         // replacing: the name the file takes at the close
    std::string temp;           // replacing: the file written until then; empty otherwise
};

// Write buffers: a run writes one file after another, so the last one closed is kept for the
// next open instead of going back to the system and being asked for again, which would cost
// a few system calls and a fresh zeroed page each time. Files are opened from more than one
// thread only in the tests; the one spare is exchanged atomically.
std::atomic<char*> spare_write_buffer{nullptr};

char* take_write_buffer() {
    char* buffer = spare_write_buffer.exchange(nullptr);
    return buffer != nullptr ? buffer : new char[RAW_CAP];
}

void give_back_write_buffer(char* buffer) {
    char* none = nullptr;
    if (!spare_write_buffer.compare_exchange_strong(none, buffer))
        delete[] buffer;
}

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

// Opens a new file beside the one at path, named after it and this process, so that runs at
// once never write into one another's. A leftover of that name, from an earlier process of the
// same id, is removed first; the exclusive create never follows a link planted there.
int open_replacement(const char* path, std::string& target, std::string& temp) {
    struct stat st;
    find_named(path, target, st);
    temp = target + "." + std::to_string(getpid()) + ".new";
    constexpr int FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = ::open(temp.c_str(), FLAGS, 0666);
    if (fd < 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0)
        fd = ::open(temp.c_str(), FLAGS, 0666);
    return fd;
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

PlatFile* posix_open(const char* path, OpenMode mode) {
    int flags = O_RDONLY;
    if (mode == OpenMode::write)
        flags = O_WRONLY | O_TRUNC;
    else if (mode == OpenMode::append)
        flags = O_WRONLY | O_APPEND;
    std::string target, temp;
    int fd = -1;
    if (mode == OpenMode::replace) {
        fd = open_replacement(path, target, temp);
    } else {
        // An existing file under its exact name first; else the name matched without regard
        // to case, which is also where a new file is created.
        fd = ::open(exact_path(path).c_str(), flags | O_CLOEXEC);
        if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
            int create = mode == OpenMode::read ? 0 : O_CREAT;
            fd = ::open(native_path(path).c_str(), flags | create | O_CLOEXEC, 0666);
        }
    }
    if (fd < 0)
        return nullptr;
    // Windows cannot open a folder as a file; opening one for writing fails by itself.
    struct stat st;
    if (mode == OpenMode::read && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(fd);
        return nullptr;
    }
    auto* f = new PosixFile;
    f->fd = fd;
    f->writing = mode != OpenMode::read;
    f->target = std::move(target);
    f->temp = std::move(temp);
    if (f->writing)
        f->raw = take_write_buffer();
    // Every write lands at the file's end (O_APPEND); knowing the end only lines up the large
    // writes, so it is taken once the lock keeps other runs from moving it.
    if (mode == OpenMode::append) {
        f->locked = take_append_lock(fd);
        if (fstat(fd, &st) == 0)
            f->end = static_cast<unsigned long long>(st.st_size);
    }
    return reinterpret_cast<PlatFile*>(f);
}

// Reads up to cap bytes from the file as they are; 0 at its end or on an error, which ends
// the reading too. A Ctrl-Z ends the file in text mode, so nothing from it on is ever given.
std::size_t read_bytes(PosixFile* f, char* buf, std::size_t cap) {
    if (f->at_end || cap == 0)
        return 0;
    ssize_t got;
    do {
        got = ::read(f->fd, buf, cap);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        f->at_end = true;
        return 0;
    }
    auto n = static_cast<std::size_t>(got);
    if (const void* z = std::memchr(buf, CTRL_Z, n)) {
        n = static_cast<std::size_t>(static_cast<const char*>(z) - buf);
        f->at_end = true;
    }
    return n;
}

// Reads text straight into the caller's buffer and translates it there. A CR that arrives as
// the last byte of a read is decided by reading one byte ahead: before a LF the pair becomes
// that LF, else the CR stays and the byte read ahead opens the next read.
std::size_t posix_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    if (cap == 0)
        return 0;
    std::size_t got = 0;
    if (f->ahead >= 0) {
        buf[got++] = static_cast<char>(f->ahead);
        f->ahead = -1;
    }
    got += read_bytes(f, buf + got, cap - got);
    if (got == 0)
        return 0;
    static const TextBlocks blocks = widest_text_blocks();
    std::size_t n = drop_cr_before_lf(buf, got, blocks);
    if (buf[n - 1] == '\r') {
        char next = 0;
        if (read_bytes(f, &next, 1) == 1) {
            if (next == '\n')
                buf[n - 1] = '\n';
            else
                f->ahead = static_cast<unsigned char>(next);
        }
    }
    return n;
}

bool write_all(int fd, const char* data, std::size_t len) {
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

bool flush_writes(PosixFile* f) {
    if (f->len > 0 && !f->failed)
        f->failed = !write_all(f->fd, f->raw, f->len);
    f->end += f->len;
    f->len = 0;
    return !f->failed;
}

// Takes up to len bytes of data into the write buffer; the count taken.
std::size_t buffer_some(PosixFile* f, const char* data, std::size_t len) {
    std::size_t take = std::min(len, RAW_CAP - f->len);
    std::memcpy(f->raw + f->len, data, take);
    f->len += take;
    return take;
}

// Small writes gather in the buffer. A large one goes out mostly straight from the caller's
// memory, cut so that each write ends on a page of the file: the system then never has to
// fill a page in two writes. Only the few bytes before and after those pages are copied.
bool posix_write(PlatFile* file, const char* data, std::size_t len) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    if (f->failed)
        return false;
    if (len < LARGE_WRITE) {
        std::size_t took = buffer_some(f, data, len);
        if (took == len)
            return true;
        if (!flush_writes(f))
            return false;
        buffer_some(f, data + took, len - took);
        return true;
    }
    // The buffer is topped up to the file's next page and sent, then the whole pages go out
    // straight from data; the rest waits in the buffer.
    if (RAW_CAP - f->len < PAGE && !flush_writes(f))
        return false;
    std::size_t took = buffer_some(f, data, (PAGE - (f->end + f->len) % PAGE) % PAGE);
    if (!flush_writes(f))
        return false;
    std::size_t pages = (len - took) / PAGE * PAGE;
    if (!write_all(f->fd, data + took, pages)) {
        f->failed = true;
        return false;
    }
    f->end += pages;
    buffer_some(f, data + took + pages, len - took - pages);
    return true;
}

// What was written goes out before the lock is let go, so the next run appends after it. A
// replacement takes the target's name only when all of it was written; the rename puts it in
// place in one step, and a failed one leaves the target as it was.
bool posix_close(PlatFile* file) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    bool ok = f->writing ? flush_writes(f) : true;
    if (f->locked)
        set_append_lock(f->fd, F_UNLCK);
    if (::close(f->fd) != 0)
        ok = false;
    if (!f->temp.empty()) {
        ok = ok && ::rename(f->temp.c_str(), f->target.c_str()) == 0;
        if (!ok)
            ::unlink(f->temp.c_str());
    }
    if (f->writing)
        give_back_write_buffer(f->raw);
    delete f;
    return ok;
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

bool posix_holds_text(const char* path, const char* text) {
    std::string name;
    struct stat st;
    if (!find_named(path, name, st))
        return false;
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::size_t len = std::strlen(text);
    std::size_t at = 0;
    bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (same) {
        char buf[256];
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            same = got == 0 && at == len;
            break;
        }
        auto n = static_cast<std::size_t>(got);
        same = n <= len - at && std::memcmp(buf, text + at, n) == 0;
        at += n;
    }
    ::close(fd);
    return same;
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
    const unsigned fields[3] = {static_cast<unsigned>(local.tm_mon + 1) % 100,
                                static_cast<unsigned>(local.tm_mday) % 100,
                                static_cast<unsigned>(local.tm_year) % 100};
    for (std::size_t i = 0; i < 3; ++i) {
        out[i * 3] = static_cast<char>('0' + fields[i] / 10);
        out[i * 3 + 1] = static_cast<char>('0' + fields[i] % 10);
        out[i * 3 + 2] = i < 2 ? '/' : '\0';
    }
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

extern const PlatformOps native_platform = {
    posix_open,      posix_read,          posix_write,         posix_close,
    posix_remove,    posix_make_writable, posix_holds_text,    posix_find_first,
    posix_find_next, posix_find_close,    posix_today,         posix_run_command,
    posix_overlay,   posix_console_write, posix_console_flush, posix_exit,
};
