// text_mode_fuzz.cpp - the POSIX text-mode translation on any bytes: every block width this
// processor runs must drop exactly the CRs that stand directly before a LF, in place, and
// touch nothing outside the buffer.
#include "fuzz_platform.h"
#include "text_blocks.h"
#include "text_mode_reference.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string expected = text_mode_reference(bytes);

    std::vector<TextBlocks> widths = {TextBlocks::bytes};
    if (widest_text_blocks() != TextBlocks::bytes)
        widths.push_back(TextBlocks::sse2);
    if (widest_text_blocks() == TextBlocks::avx512)
        widths.push_back(TextBlocks::avx512);
    for (TextBlocks width : widths) {
        // A buffer of exactly the input's size, so that the sanitizer sees any access past it.
        std::vector<char> buf(bytes.begin(), bytes.end());
        std::size_t n = drop_cr_before_lf(buf.data(), buf.size(), width);
        fuzz_check(n == expected.size(), "translated length");
        fuzz_check(std::string(buf.data(), n) == expected, "translated bytes");
    }
    return 0;
}
