// text_reader.cpp - the line reader shared by every reader of the program.
#include "text_reader.h"

#include <cstring>

bool text_open(TextReader& reader, const char* path) {
    reader.file = plat_open(path, OpenMode::read);
    reader.eof = false;
    reader.pos = reader.len = 0;
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
            reader.len = reader.eof ? 0 : plat_read(reader.file, reader.buf, sizeof reader.buf);
            if (reader.len == 0) {
                reader.eof = true;
                break;
            }
        }
        std::size_t avail = reader.len - reader.pos;
        std::size_t want = max - n < avail ? max - n : avail;
        const char* from = reader.buf + reader.pos;
        const void* nl = std::memchr(from, '\n', want);
        std::size_t take = nl != nullptr ? static_cast<const char*>(nl) - from + 1 : want;
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
