// reference.h - a plain restatement of the line rule over a string, for the fuzz targets to
// compare the readers' output with: the pieces that the rule lets through, in order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Splits text into pieces of at most max characters, each ending after a newline or at max;
// a read that runs into the end of the text ends the list and its piece is left out.
inline std::vector<std::string> line_rule_pieces(const std::string& text, std::size_t max) {
    std::vector<std::string> pieces;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t len = 0;
        bool line_end = false;
        while (len < max && pos + len < text.size()) {
            if (text[pos + len++] == '\n') {
                line_end = true;
                break;
            }
        }
        if (!line_end && len < max)
            break; // ran into the end of the text
        pieces.push_back(text.substr(pos, len));
        pos += len;
    }
    return pieces;
}

// The part of a piece that a reader treating it as a string sees: up to its first NUL byte.
inline std::string as_string(const std::string& piece) {
    return piece.substr(0, piece.find('\0'));
}
