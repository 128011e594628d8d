// platform_posix.cpp - the platform operations on POSIX, for development, tests and fuzzing.
// Windows paths are mapped under ZELMORTH_ROOT, names match without regard to case, and
// text files are read the way the Windows runtime reads them in text mode.
#include "platform.h"

#include <cerrno>
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

constexpr std::size_t RAW_CAP = 1 << 16;
constexpr char CTRL_Z = 0x1A;

struct PosixFile {
    int fd = -1;
    bool writing = false;
    bool at_end = false; // the end of the file, or a Ctrl-Z, has been reached
    bool failed = false; // a write went wrong; close reports it
    int pending = -1;    // a byte read but not yet delivered (a CR waiting for its LF)
    std::size_t len = 0; // bytes waiting in the write buffer
    char raw[RAW_CAP];   // the write buffer
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

// Maps one of the program's Windows paths onto this file system: a leading backslash is the
// root of the current drive, which ZELMORTH_ROOT names (unset means "/"); anything else is
// relative to the current directory.
std::string native_path(const char* path) {
    std::string folder;
    const char* rest = path;
    if (*rest == '\\' || *rest == '/') {
        const char* root = std::getenv("ZELMORTH_ROOT");
        folder = (root != nullptr && *root != '\0') ? root : "/";
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        if (folder == "/")
            folder.clear();
        ++rest;
    } else {
        folder = ".";
    }
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

PlatFile* posix_open(const char* path, OpenMode mode) {
    std::string name = native_path(path);
    int flags = O_RDONLY;
    if (mode == OpenMode::write)
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else if (mode == OpenMode::append)
        flags = O_WRONLY | O_CREAT | O_APPEND;
    int fd = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) { // Windows cannot open a folder as a file
        ::close(fd);
        return nullptr;
    }
    auto* f = new PosixFile;
    f->fd = fd;
    f->writing = mode != OpenMode::read;
    return reinterpret_cast<PlatFile*>(f);
}

// Turns CR-LF into LF in place over len bytes and returns the new length. A CR that is not
// directly followed by a LF within the bytes stays.
std::size_t drop_cr_before_lf(char* buf, std::size_t len) {
    const void* first = std::memchr(buf, '\r', len);
    if (first == nullptr)
        return len;
    std::size_t w = static_cast<std::size_t>(static_cast<const char*>(first) - buf);
    std::size_t i = w;
    while (i < len) {
        const void* cr = std::memchr(buf + i, '\r', len - i);
        std::size_t stop =
            cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - buf) : len;
        std::memmove(buf + w, buf + i, stop - i);
        w += stop - i;
        i = stop;
        if (i == len)
            break;
        if (i + 1 < len && buf[i + 1] == '\n') {
            ++i; // the LF that follows is copied with the next stretch
            continue;
        }
        buf[w++] = '\r';
        ++i;
    }
    return w;
}

// One read(2), retried when interrupted; marks the end of the file when nothing came.
std::size_t read_some(PosixFile* f, char* into, std::size_t room) {
    ssize_t got;
    do {
        got = ::read(f->fd, into, room);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        f->at_end = true;
        return 0;
    }
    return static_cast<std::size_t>(got);
}

// Reads straight into the caller's buffer and translates there. A CR that ends what one
// read(2) delivered is held back until the next byte is known, so that a CR-LF split between
// two reads is still one line end.
std::size_t posix_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    while (cap > 0) {
        std::size_t have = 0;
        if (f->pending >= 0) {
            buf[0] = static_cast<char>(f->pending);
            f->pending = -1;
            have = 1;
        } else if (f->at_end) {
            return 0;
        }
        if (have == cap) {
            // Room for the held byte only: a CR needs the next byte to know whether it stays.
            char next = 0;
            if (buf[0] != '\r' || f->at_end || read_some(f, &next, 1) == 0)
                return 1;
            if (next == '\n')
                buf[0] = '\n';
            else if (next == CTRL_Z)
                f->at_end = true;
            else
                f->pending = static_cast<unsigned char>(next);
            return 1;
        }
        std::size_t total = have + (f->at_end ? 0 : read_some(f, buf + have, cap - have));
        if (const void* z = std::memchr(buf, CTRL_Z, total)) { // text mode: Ctrl-Z ends the file
            total = static_cast<std::size_t>(static_cast<const char*>(z) - buf);
            f->at_end = true;
        }
        std::size_t n = drop_cr_before_lf(buf, total);
        if (n > 0 && buf[n - 1] == '\r' && !f->at_end) {
            f->pending = '\r';
            --n;
        }
        if (n > 0)
            return n;
    }
    return 0;
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
    f->len = 0;
    return !f->failed;
}

bool posix_write(PlatFile* file, const char* data, std::size_t len) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    if (f->failed)
        return false;
    if (len > RAW_CAP - f->len) {
        if (!flush_writes(f))
            return false;
        if (len >= RAW_CAP) {
            f->failed = !write_all(f->fd, data, len);
            return !f->failed;
        }
    }
    std::memcpy(f->raw + f->len, data, len);
    f->len += len;
    return true;
}

bool posix_close(PlatFile* file) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    bool ok = f->writing ? flush_writes(f) : true;
    if (::close(f->fd) != 0)
        ok = false;
    delete f;
    return ok;
}

bool posix_remove(const char* path) {
    // unlink removes files and symbolic links, never a folder, like the Windows runtime.
    return ::unlink(native_path(path).c_str()) == 0;
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
    unsigned fields[3] = {static_cast<unsigned>(local.tm_mon + 1) % 100,
                          static_cast<unsigned>(local.tm_mday) % 100,
                          static_cast<unsigned>(local.tm_year) % 100};
    for (int i = 0; i < 3; ++i) {
        out[i * 3] = static_cast<char>('0' + fields[i] / 10);
        out[i * 3 + 1] = static_cast<char>('0' + fields[i] % 10);
        out[i * 3 + 2] = i < 2 ? '/' : '\0';
    }
}

int posix_run_command(const char* command) {
    return std::system(command);
}

// The batch runs under /bin/sh in this process's place. A batch that is missing or cannot be
// read counts as a start that failed, as it does on Windows, rather than a shell error.
void posix_overlay(const char* path) {
    std::string name = native_path(path);
    struct stat st;
    if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(name.c_str(), R_OK) != 0)
        return;
    ::execl("/bin/sh", "sh", name.c_str(), static_cast<char*>(nullptr));
}

void posix_console_write(const char* text) {
    std::fputs(text, stdout);
}
void posix_console_flush() {
    std::fflush(stdout);
}
void posix_exit(int status) {
    std::exit(status);
}

} // namespace

extern const PlatformOps native_platform = {
    posix_open,          posix_read,       posix_write,         posix_close,         posix_remove,
    posix_make_writable, posix_find_first, posix_find_next,     posix_find_close,    posix_today,
    posix_run_command,   posix_overlay,    posix_console_write, posix_console_flush, posix_exit,
};
