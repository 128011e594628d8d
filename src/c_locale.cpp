// c_locale.cpp - the saturating decimal conversion shared by every reader of numbers.
#include "c_locale.h"

#include <climits>

int digits_value(const char*& p, bool negative) {
    // Once beyond the int range further digits cannot change the saturated result, so the
    // count stops growing there and never overflows.
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long value = 0;
    for (; is_c_digit(*p); ++p)
        if (value < limit)
            value = value * 10 + (*p - '0');
    if (value > limit)
        value = limit;
    if (negative)
        return value >= limit ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int decimal_value(const char* text) {
    while (is_c_space(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    return digits_value(text, negative);
}
