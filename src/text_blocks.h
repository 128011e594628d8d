// text_blocks.h - the text mode's work on whole buffers: finding a byte, dropping each CR that
// stands directly before a LF as text is read, and writing each LF as the line end.
#pragma once

#include <cstddef>

// How many bytes the translation looks at in one step: one at a time, 16 with SSE2, or 64
// where the processor can also gather the kept bytes of a block in one instruction.
enum class TextBlocks { bytes, sse2, avx512 };

// The first byte equal to byte in data[0, len), or nullptr. The program's own scan, 16 bytes a
// step where the processor has SSE2, so that the readers' speed does not hang on the C
// runtime's memchr, which under Wine looks at one byte at a time.
const char* find_byte(const char* data, std::size_t len, char byte);

// The widest steps this processor runs.
TextBlocks widest_text_blocks();

// Drops, in place, each CR of buf[0, len) that stands directly before a LF and returns the
// length left. A CR in the last place is kept: its next byte is not in the buffer. blocks must
// not be wider than widest_text_blocks(); every width gives the same bytes.
std::size_t drop_cr_before_lf(char* buf, std::size_t len, TextBlocks blocks);

// Copies text from in[0, len) into out[0, cap), each LF written as line_end (one or two bytes,
// "\n" or "\r\n"), for as long as out has room; a line end is never cut in two. Sets *used to
// the count of bytes taken from in and returns the count written to out. blocks must not be
// wider than widest_text_blocks(); every width gives the same bytes.
std::size_t copy_line_ends(const char* in, std::size_t len, char* out, std::size_t cap,
                           const char* line_end, TextBlocks blocks, std::size_t* used);
