// Tests of the saturating decimal conversion that every reader of numbers uses.
#include "c_locale.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

TEST(DecimalValue, ReadsAsTheRuntimeConversionAndSaturates) {
    struct Case {
        const char* text;
        int want;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 0},
        {"42", 42},
        {" \t\n\v\f\r42x", 42},
        {"-17", -17},
        {"+17", 17},
        {"- 17", 0},
        {"--17", 0},
        {"0012", 12},
        {"12 34", 12},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999999999999", INT_MAX},
        {"-99999999999999999999999999999999", INT_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decimal_value(c.text), c.want) << '"' << c.text << '"';
}

} // namespace
