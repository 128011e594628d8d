// platform_posix_text.h - the Windows text-mode translation of bytes read from a file, for
// the POSIX build: each CR that stands directly before a LF is dropped.
#pragma once

#include <cstddef>

// How many bytes the translation looks at in one step: one at a time, 16 with SSE2, or 64
// where the processor can also gather the kept bytes of a block in one instruction.
enum class TextBlocks { bytes, sse2, avx512 };

// The widest steps this processor runs.
TextBlocks widest_text_blocks();

// Drops, in place, each CR of buf[0, len) that stands directly before a LF and returns the
// length left. A CR in the last place is kept: its next byte is not in the buffer. blocks must
// not be wider than widest_text_blocks(); every width gives the same bytes.
std::size_t drop_cr_before_lf(char* buf, std::size_t len, TextBlocks blocks);
