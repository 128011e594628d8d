// text_mode.h - the program's own text mode, the same on every build: the file operations of
// the platform table, buffered and translated above each system's byte calls (file_bytes.h).
#pragma once

#include "platform.h"

#include <cstddef>

// Reading: a CR directly before a LF is dropped, also where a read ends between the two, and a
// Ctrl-Z byte ends the file. Writing: each LF goes out as the system's line end, in blocks that
// each take one write of the system, and a line end is never cut between two of them.
PlatFile* text_mode_open(const char* path, OpenMode mode);
std::size_t text_mode_read(PlatFile* file, char* buf, std::size_t cap);
bool text_mode_write(PlatFile* file, const char* data, std::size_t len);
bool text_mode_close(PlatFile* file);
// Compares the file's raw bytes with what writing the text in this text mode gives.
bool text_mode_holds_text(const char* path, const char* text);

// How many new names a replacement tries when the one before it is taken.
constexpr unsigned REPLACEMENT_TRIES = 16;
