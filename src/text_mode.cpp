// text_mode.cpp - the program's own text mode over each system's byte calls: one write buffer,
// reads straight into the caller's buffer, and the line-end rules, the same on every build.
#include "text_mode.h"

#include "file_bytes.h"
#include "text_blocks.h"

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

FileBytes file_bytes = native_file_bytes;

namespace {

constexpr std::size_t RAW_CAP = 1 << 18;     // the write buffer: one block of the system's writes
constexpr std::size_t PAGE = 4096;           // the file system's page, for lining up writes
constexpr std::size_t LARGE_WRITE = 1 << 15; // writes from this size on may skip the buffer
constexpr char CTRL_Z = 0x1A;

struct TextFile {
    SysFile* sys = nullptr;
    bool writing = false;
    bool at_end = false;        // reading: the end of the file, or a Ctrl-Z, has been reached
    bool read_failed = false;   // reading: a read failed; every later read fails too
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

// Whether the system's line end is the LF itself, so that text goes out as it stands.
bool plain_line_ends() {
    return std::strcmp(file_bytes.line_end, "\n") == 0;
}

// A replacement is written into a new file beside the target, named after it, this process and
// the time, so that runs at once never write into one another's, not even runs on other PCs
// that share the folder and happen to have the same process id. A name that is taken already
// is left alone, whoever made it, and the next one is tried.
SysFile* open_replacement(const char* path, std::string& temp) {
    std::string stem = std::string(path) + "." + std::to_string(file_bytes.process_id()) + ".";
    unsigned long long stamp = file_bytes.clock();
    for (unsigned attempt = 0; attempt < REPLACEMENT_TRIES; ++attempt) {
        temp = stem + std::to_string(stamp + attempt) + ".new";
        bool taken = false;
        if (SysFile* sys = file_bytes.create_new(temp.c_str(), &taken))
            return sys;
        if (!taken)
            return nullptr;
    }
    return nullptr;
}

// Reads up to cap bytes from the file as they are; 0 at its end, READ_FAILED once a read has
// failed. A Ctrl-Z ends the file in text mode, so nothing from it on is ever given.
std::size_t read_bytes(TextFile* f, char* buf, std::size_t cap) {
    if (f->read_failed)
        return READ_FAILED;
    if (f->at_end || cap == 0)
        return 0;
    std::size_t n = file_bytes.read(f->sys, buf, cap);
    if (n == READ_FAILED || n > cap) {
        f->read_failed = true;
        return READ_FAILED;
    }
    if (n == 0) {
        f->at_end = true;
        return 0;
    }
    if (const char* z = find_byte(buf, n, CTRL_Z)) {
        n = static_cast<std::size_t>(z - buf);
        f->at_end = true;
    }
    return n;
}

bool flush_writes(TextFile* f) {
    if (f->len > 0 && !f->failed)
        f->failed = !file_bytes.write(f->sys, f->raw, f->len);
    f->end += f->len;
    f->len = 0;
    return !f->failed;
}

// Takes what fits of data into the write buffer, each LF as the system's line end; the count of
// data's bytes taken.
std::size_t buffer_some(TextFile* f, const char* data, std::size_t len) {
    static const TextBlocks blocks = widest_text_blocks();
    std::size_t used = 0;
    f->len += copy_line_ends(data, len, f->raw + f->len, RAW_CAP - f->len, file_bytes.line_end,
                             blocks, &used);
    return used;
}

} // namespace

PlatFile* text_mode_open(const char* path, OpenMode mode) {
    std::string temp;
    unsigned long long size = 0;
    SysFile* sys = mode == OpenMode::replace ? open_replacement(path, temp)
                                             : file_bytes.open(path, mode, &size);
    if (sys == nullptr)
        return nullptr;
    auto* f = new TextFile;
    f->sys = sys;
    f->writing = mode != OpenMode::read;
    f->end = size;
    if (f->writing)
        f->raw = take_write_buffer();
    if (!temp.empty()) {
        f->target = path;
        f->temp = std::move(temp);
    }
    return reinterpret_cast<PlatFile*>(f);
}

// Reads text straight into the caller's buffer and translates it there. A CR that arrives as
// the last byte of a read is decided by reading one byte ahead: before a LF the pair becomes
// that LF, else the CR stays and the byte read ahead opens the next read. A failed read is
// never taken for the end: what came before it is given, and the failure with the next read.
std::size_t text_mode_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<TextFile*>(file);
    if (cap == 0)
        return f->read_failed ? READ_FAILED : 0;
    std::size_t got = 0;
    if (f->ahead >= 0) {
        buf[got++] = static_cast<char>(f->ahead);
        f->ahead = -1;
    }
    std::size_t more = read_bytes(f, buf + got, cap - got);
    if (more == READ_FAILED && got == 0)
        return READ_FAILED;
    got += more == READ_FAILED ? 0 : more;
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

// Text gathers in the buffer, which goes out in one write of the system when it is full. Where
// the system's line end is the LF itself, a large write goes out mostly straight from the
// caller's memory, cut so that each write ends on a page of the file: the system then never has
// to fill a page in two writes. Only the few bytes before and after those pages are copied.
bool text_mode_write(PlatFile* file, const char* data, std::size_t len) {
    auto* f = reinterpret_cast<TextFile*>(file);
    if (f->failed)
        return false;
    if (len < LARGE_WRITE || !plain_line_ends()) {
        for (;;) {
            std::size_t took = buffer_some(f, data, len);
            data += took;
            len -= took;
            if (len == 0)
                return true;
            if (!flush_writes(f))
                return false;
        }
    }
    // The buffer is topped up to the file's next page and sent, then the whole pages go out
    // straight from data; the rest waits in the buffer.
    if (RAW_CAP - f->len < PAGE && !flush_writes(f))
        return false;
    std::size_t took = buffer_some(f, data, (PAGE - (f->end + f->len) % PAGE) % PAGE);
    if (!flush_writes(f))
        return false;
    std::size_t pages = (len - took) / PAGE * PAGE;
    if (!file_bytes.write(f->sys, data + took, pages)) {
        f->failed = true;
        return false;
    }
    f->end += pages;
    buffer_some(f, data + took + pages, len - took - pages);
    return true;
}

// What was written goes out before the lock is let go, so the next run appends after it. A
// replacement takes the target's name only when all of it was written and is on the disk: the
// file system journals the rename but not the data it names, so a power cut between the two
// would leave the name on a file of zeros. The rename puts it in place in one step, and a failed
// one leaves the target as it was.
bool text_mode_close(PlatFile* file) {
    auto* f = reinterpret_cast<TextFile*>(file);
    bool ok = f->writing ? flush_writes(f) : true;
    bool replacing = !f->temp.empty();
    if (replacing)
        ok = ok && file_bytes.flush(f->sys);
    ok = file_bytes.close(f->sys) && ok;
    if (replacing) {
        ok = ok && file_bytes.rename(f->temp.c_str(), f->target.c_str());
        if (!ok)
            file_bytes.remove_own(f->temp.c_str());
    }
    if (f->writing)
        give_back_write_buffer(f->raw);
    delete f;
    return ok;
}

// The bytes are read as they are; the text is what a write in this text mode makes of it.
bool text_mode_holds_text(const char* path, const char* text) {
    unsigned long long size = 0;
    SysFile* sys = file_bytes.open(path, OpenMode::read, &size);
    if (sys == nullptr)
        return false;
    std::string expected;
    for (const char* c = text; *c != '\0'; ++c)
        expected += *c == '\n' ? file_bytes.line_end : std::string(1, *c);
    std::size_t at = 0;
    bool same = size == expected.size();
    while (same) {
        char buf[256];
        std::size_t got = file_bytes.read(sys, buf, sizeof buf);
        if (got == READ_FAILED) {
            same = false;
            break;
        }
        if (got == 0) {
            same = at == expected.size();
            break;
        }
        same = got <= expected.size() - at && std::memcmp(buf, expected.data() + at, got) == 0;
        at += got;
    }
    file_bytes.close(sys);
    return same;
}
