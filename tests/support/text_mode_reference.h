// text_mode_reference.h - the text-mode rule for line ends restated one byte at a time, for the
// tests and fuzz targets to hold the POSIX translation to: a CR directly before a LF is dropped.
#pragma once

#include <string>

inline std::string text_mode_reference(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    return text;
}
