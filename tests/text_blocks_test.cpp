// Tests of the text mode's line-end translation: every block width must give exactly what a
// plain byte-by-byte reading of the rule gives, wherever the CR-LF pairs fall in the blocks; and
// a write's line ends fill the room they are given without ever being cut.
#include "text_blocks.h"

#include "text_mode_reference.h"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<TextBlocks> widths_here() {
    std::vector<TextBlocks> widths = {TextBlocks::bytes};
    if (widest_text_blocks() != TextBlocks::bytes)
        widths.push_back(TextBlocks::sse2);
    if (widest_text_blocks() == TextBlocks::avx512)
        widths.push_back(TextBlocks::avx512);
    return widths;
}

std::string translated(std::string bytes, TextBlocks width) {
    std::size_t n = drop_cr_before_lf(bytes.data(), bytes.size(), width);
    return bytes.substr(0, n);
}

TEST(TextBlocks, HandWrittenCases) {
    const std::string lines = std::string(40, 'a') + "\r\n";
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {"\r", "\r"},
        {"\r\n", "\n"},
        {"\r\r\n\n\r", "\r\n\n\r"},
        {"a\rb\r\n", "a\rb\n"},
        // Blank CR-LF lines, many pairs in one block, and a CR kept at the very end.
        {std::string(100, '\r') + std::string(100, '\n') + "\r\n\r\n\r\n\r\n\r",
         std::string(99, '\r') + std::string(100, '\n') + "\n\n\n\n\r"},
        {lines + lines + lines + lines + lines + "x\r",
         std::string(40, 'a') + "\n" + std::string(40, 'a') + "\n" + std::string(40, 'a') + "\n" +
             std::string(40, 'a') + "\n" + std::string(40, 'a') + "\nx\r"},
    };
    for (TextBlocks width : widths_here())
        for (const auto& [bytes, text] : rows)
            EXPECT_EQ(translated(bytes, width), text) << "width " << static_cast<int>(width);
}

// Random buffers of many shapes: mostly CR-LF lines of random lengths, with lone CRs, bare
// LFs and other bytes mixed in, so that pairs fall on every place of the blocks and the output
// trails the input by every distance.
TEST(TextBlocks, EveryWidthAgreesWithThePlainRule) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::size_t size = rng() % (round < 2000 ? 300 : 5000);
        unsigned line = 1 + rng() % 90;
        std::string bytes;
        while (bytes.size() < size) {
            switch (rng() % 16) {
            case 0:
                bytes += '\r';
                break;
            case 1:
                bytes += '\n';
                break;
            case 2:
            case 3:
                bytes += "\r\n";
                break;
            default:
                bytes += static_cast<char>(rng() % 256);
            }
            if (rng() % line == 0)
                bytes += "\r\n";
        }
        std::string expected = text_mode_reference(bytes);
        for (TextBlocks width : widths_here())
            ASSERT_EQ(translated(bytes, width), expected)
                << "round " << round << ", width " << static_cast<int>(width);
    }
    std::printf("[ text blocks ] widths run on this machine: %s\n",
                text_blocks_up_to(widest_text_blocks()).c_str());
}

// The byte sought at every place of buffers of many lengths, up to a few of the widest steps, a
// second one after it, and none at all: the first is found, and nothing past the end is read.
TEST(TextBlocks, FindByteFindsTheFirstAtEveryPlace) {
    for (std::size_t len = 0; len <= 600; len += len < 150 ? 1 : 7) {
        std::vector<char> buf(len, 'a'); // exactly len bytes, for the sanitizer
        EXPECT_EQ(find_byte(buf.data(), len, '\n'), nullptr) << len;
        for (std::size_t at = 0; at < len; ++at) {
            buf[at] = '\n';
            if (at + 3 < len)
                buf[at + 3] = '\n';
            EXPECT_EQ(find_byte(buf.data(), len, '\n'), buf.data() + at) << len << " " << at;
            std::fill(buf.begin(), buf.end(), 'a');
        }
    }
}

// Random text and rooms of every size, the blocks' way against a byte at a time, for both line
// ends: LFs dense and sparse, next to each other and at every place of a block, and rooms that
// end anywhere, also between the two bytes of a CR-LF, which is never cut.
TEST(TextBlocks, LineEndsAgreeWithAByteAtATimeInEveryRoom) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 4000; ++round) {
        std::string text(rng() % 400, 'x');
        unsigned every = 1 + rng() % 60;
        for (char& c : text)
            c = rng() % every == 0 ? '\n' : static_cast<char>('a' + rng() % 26);
        const char* line_end = round % 4 == 0 ? "\n" : "\r\n";
        std::size_t cap = rng() % (2 * text.size() + 50);
        std::string expected;
        std::size_t taken = 0;
        for (; taken < text.size(); ++taken) {
            std::string piece = text[taken] == '\n' ? line_end : std::string(1, text[taken]);
            if (expected.size() + piece.size() > cap)
                break;
            expected += piece;
        }
        for (TextBlocks width : widths_here()) {
            std::vector<char> out(cap); // exactly cap bytes, for the sanitizer
            std::size_t used = 0;
            std::size_t n =
                copy_line_ends(text.data(), text.size(), out.data(), cap, line_end, width, &used);
            ASSERT_EQ(std::string(out.data(), n), expected)
                << "round " << round << ", width " << static_cast<int>(width);
            ASSERT_EQ(used, taken) << "round " << round << ", width " << static_cast<int>(width);
        }
    }
}

} // namespace
