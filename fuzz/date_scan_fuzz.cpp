// date_scan_fuzz.cpp - date_scan and the decimal reading it uses, on any text: no read outside
// the text, no overflow, and the decimal reading agrees with the C library's, saturated at the
// 32-bit range.
#include "c_locale.h"
#include "fuzz_platform.h"
#include "lotus_dates.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset();
    // The text ends at the first NUL byte, as a settings value or a calendar field does.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* s = text.c_str();

    std::uint16_t day = date_scan(s);
    if (std::strlen(s) < 5 || std::strchr(s, '/') == nullptr)
        fuzz_check(day == 0, "a text too short or without '/' is no date");

    long long wide = std::strtoll(s, nullptr, 10);
    int expected = wide > INT_MAX ? INT_MAX : (wide < INT_MIN ? INT_MIN : static_cast<int>(wide));
    fuzz_check(decimal_value(s) == expected, "decimal_value saturates like strtoll");
    return 0;
}
