// text_reader.h - the one line reader behind every file the program reads: pieces of at most
// a given length up to and including the newline, as the C runtime's fgets delivers them.
#pragma once

#include "platform.h"

#include <cstddef>

constexpr std::size_t TEXT_READER_BUF = 1 << 20;

struct TextReader {
    PlatFile* file = nullptr;
    bool eof = false;    // the last read ran into the end of the file before it was complete
    bool failed = false; // a read of the file failed: eof is set too, and nothing more comes
    std::size_t pos = 0;
    std::size_t len = 0;
    char buf[TEXT_READER_BUF];
};

// Opens a file for reading in text mode and reads its first stretch; false when it cannot be
// opened or that first read fails, so that a file nothing can be read of is treated alike.
bool text_open(TextReader& reader, const char* path);
void text_close(TextReader& reader);

// Reads characters up to and including the next newline, but at most max of them, into out
// (room for max + 1) and ends them with a string end. Sets reader.eof when the end of the file
// came before the piece was complete, or a read failed (reader.failed). Returns the count
// read; when it is 0, out is unchanged.
// This is the bare read, for the readers that apply a rule of their own at the end of the file.
std::size_t text_read(TextReader& reader, char* out, std::size_t max);

// The line rule: reads the next piece and tells whether it is to be processed. A read that
// runs into the end of the file ends the reading, and its text is not processed; so a last
// line without a line end is dropped unless it filled a whole piece.
bool read_line(TextReader& reader, char* out, std::size_t max);

// The line rule over long stretches at a time, for readers that stream large files. Gives in
// *data, inside the reader's buffer, the longest stretch of the unread text that holds whole
// pieces only, each ending in a newline or max characters long: all of it is text that the
// line rule processes, whatever follows. The short piece that a file without a last line end
// leaves over is never given. A stretch always begins at the start of a piece. Returns the
// stretch's length (valid until the next read); 0 at the end of the file or once a read failed
// (reader.failed), where the text not yet given is dropped. Not to be mixed with
// the piece-by-piece reads on one file.
std::size_t text_read_run(TextReader& reader, std::size_t max, const char** data);

// The length of the piece that begins at data inside a stretch: up to and including the next
// newline, but at most max characters.
std::size_t piece_length(const char* data, std::size_t len, std::size_t max);
