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
    std::size_t pos = 0;
    std::size_t len = 0;
    char raw[RAW_CAP + 1];
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

// Refills the raw buffer, keeping a CR that ended the previous fill in front so that a CR-LF
// split between two fills is still seen as one line end.
void refill(PosixFile* f) {
    std::size_t keep = 0;
    if (f->pos < f->len) { // only a trailing CR is ever left over
        f->raw[0] = f->raw[f->pos];
        keep = 1;
    }
    ssize_t got;
    do {
        got = ::read(f->fd, f->raw + keep, RAW_CAP - keep);
    } while (got < 0 && errno == EINTR);
    f->pos = 0;
    f->len = keep + (got > 0 ? static_cast<std::size_t>(got) : 0);
    if (got <= 0)
        f->at_end = true;
}

std::size_t posix_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<PosixFile*>(file);
    std::size_t n = 0;
    while (n < cap) {
        if (f->pos == f->len || (f->raw[f->pos] == '\r' && f->pos + 1 == f->len && !f->at_end)) {
            if (f->at_end)
                break;
            refill(f);
            continue;
        }
        char c = f->raw[f->pos];
        if (c == CTRL_Z) { // text mode: Ctrl-Z ends the file
            f->at_end = true;
            f->pos = f->len = 0;
            break;
        }
        if (c == '\r' && f->pos + 1 < f->len && f->raw[f->pos + 1] == '\n') {
            ++f->pos; // CR-LF reads as LF
            continue;
        }
        buf[n++] = c;
        ++f->pos;
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
