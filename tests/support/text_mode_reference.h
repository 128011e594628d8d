// text_mode_reference.h - the text-mode rule for line ends restated one byte at a time, for the
// tests and fuzz targets to hold the POSIX translation to: a CR directly before a LF is dropped.
#pragma once

#include "text_blocks.h"

#include <string>

inline std::string text_mode_reference(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    return text;
}

// The widths of the text blocks up to the given one, as a test's output names them, so that a
// reader can tell which paths of the translation a run tested on its machine.
inline std::string text_blocks_up_to(TextBlocks widest) {
    std::string names = "bytes";
    if (widest != TextBlocks::bytes)
        names += ", SSE2";
    if (widest == TextBlocks::avx512)
        names += ", AVX-512";
    return names;
}
