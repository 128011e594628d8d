// text_reader.cpp - the line reader shared by every reader of the program.
#include "text_reader.h"

#include "text_blocks.h"

#include <cstring>

namespace {

// Reads the next stretch of the file into the buffer from at on; the count, 0 at the end of the
// file or when the read failed, which is marked and ends the reading.
std::size_t fill(TextReader& reader, std::size_t at) {
    std::size_t got = plat_read(reader.file, reader.buf + at, sizeof reader.buf - at);
    if (got == READ_FAILED || got > sizeof reader.buf - at) {
        reader.failed = true;
        got = 0;
    }
    if (got == 0)
        reader.eof = true;
    return got;
}

} // namespace

bool text_open(TextReader& reader, const char* path) {
    reader.file = plat_open(path, OpenMode::read);
    reader.eof = reader.failed = false;
    reader.pos = reader.len = 0;
    if (reader.file == nullptr)
        return false;
    reader.len = fill(reader, 0);
    if (reader.failed)
        text_close(reader);
    return reader.file != nullptr;
}

void text_close(TextReader& reader) {
    if (reader.file != nullptr)
        plat_close(reader.file);
    reader.file = nullptr;
}

std::size_t text_read(TextReader& reader, char* out, std::size_t max) {
    std::size_t n = 0;
    while (n < max) {
        if (reader.pos == reader.len) {
            reader.pos = 0;
            reader.len = reader.eof ? 0 : fill(reader, 0);
            if (reader.len == 0) {
                reader.eof = true;
                break;
            }
        }
        std::size_t avail = reader.len - reader.pos;
        std::size_t want = max - n < avail ? max - n : avail;
        const char* from = reader.buf + reader.pos;
        const char* nl = find_byte(from, want, '\n');
        std::size_t take = nl != nullptr ? static_cast<std::size_t>(nl - from) + 1 : want;
        std::memcpy(out + n, from, take);
        n += take;
        reader.pos += take;
        if (nl != nullptr)
            break;
    }
    if (n > 0 || max == 0)
        out[n] = '\0';
    return n;
}

bool read_line(TextReader& reader, char* out, std::size_t max) {
    std::size_t n = text_read(reader, out, max);
    return n > 0 && !reader.eof;
}

namespace {

// The length of the part of a stretch of avail characters, starting at a piece's start, that
// consists of whole pieces: everything up to its last newline, then every full max characters.
std::size_t whole_pieces(const char* from, std::size_t avail, std::size_t max) {
    std::size_t tail = avail;
    while (tail > 0 && from[tail - 1] != '\n')
        --tail;
    return tail + (avail - tail) / max * max;
}

} // namespace

std::size_t text_read_run(TextReader& reader, std::size_t max, const char** data) {
    if (max == 0 || max >= sizeof reader.buf)
        return 0;
    for (;;) {
        std::size_t avail = reader.len - reader.pos;
        std::size_t take = whole_pieces(reader.buf + reader.pos, avail, max);
        if (take > 0) {
            *data = reader.buf + reader.pos;
            reader.pos += take;
            return take;
        }
        // Less than one piece is left: move it to the front and read more behind it.
        if (reader.eof)
            return 0;
        std::memmove(reader.buf, reader.buf + reader.pos, avail);
        reader.pos = 0;
        reader.len = avail;
        std::size_t got = fill(reader, avail);
        if (got == 0)
            return 0; // what is left is the short last piece, which is not processed
        reader.len += got;
    }
}

std::size_t piece_length(const char* data, std::size_t len, std::size_t max) {
    std::size_t limit = len < max ? len : max;
    const char* nl = find_byte(data, limit, '\n');
    return nl != nullptr ? static_cast<std::size_t>(nl - data) + 1 : limit;
}
