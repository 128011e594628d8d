// c_locale.h - character classes, case conversion and decimal conversion as the C runtime does
// them in its default locale, written out so that every build behaves the same and no number
// can overflow.
#pragma once

inline bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool is_c_digit(char c) {
    return c >= '0' && c <= '9';
}

inline char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Converts the digits at p (at least one is expected) with the sign given, saturating at the
// 32-bit range so that a number too large never wraps into a valid value. Advances p past them.
int digits_value(const char*& p, bool negative);

// The standard decimal conversion: white space skipped, an optional sign, digits; anything
// else ends the number and no digits give 0. Saturates at the 32-bit range.
int decimal_value(const char* text);
