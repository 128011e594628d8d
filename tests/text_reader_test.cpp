// Tests of the line reader over real files: the line rule, fgets-sized pieces, and the text
// mode of Windows (CR-LF read as LF, Ctrl-Z ending the file).
#include "text_reader.h"

#include "sandbox.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// Reads a file's bytes through the line reader and lists every piece that the line rule
// lets through; "|EOF" marks a piece that ran into the end of the file.
class TextReaderTest : public ::testing::Test {
  protected:
    Sandbox box;
    void SetUp() override { setenv("ZELMORTH_ROOT", box.drive().c_str(), 1); }
    void TearDown() override { unsetenv("ZELMORTH_ROOT"); }

    std::vector<std::string> lines(const std::string& bytes, std::size_t max) {
        box.write("QUARRINE/F.TXT", bytes);
        TextReader reader;
        EXPECT_TRUE(text_open(reader, "\\QUARRINE\\F.TXT"));
        std::vector<std::string> got;
        std::vector<char> buf(max + 1);
        while (read_line(reader, buf.data(), max))
            got.emplace_back(buf.data());
        text_close(reader);
        return got;
    }

    std::vector<std::string> pieces(const std::string& bytes, std::size_t max) {
        box.write("QUARRINE/F.TXT", bytes);
        TextReader reader;
        EXPECT_TRUE(text_open(reader, "\\QUARRINE\\F.TXT"));
        std::vector<std::string> got;
        std::vector<char> buf(max + 1, 'x');
        buf[max] = '\0';
        for (int i = 0; i < 10; ++i) {
            std::size_t n = text_read(reader, buf.data(), max);
            got.push_back(std::string(buf.data()) + (reader.eof ? "|EOF" : "") +
                          (n == 0 ? "|0" : ""));
            if (reader.eof)
                break;
        }
        text_close(reader);
        return got;
    }
};

using Lines = std::vector<std::string>;

TEST_F(TextReaderTest, LineRuleAtTheEndOfTheFile) {
    EXPECT_EQ(lines("ab\ncd\n", 10), (Lines{"ab\n", "cd\n"}));
    EXPECT_EQ(lines("ab\ncd", 10), (Lines{"ab\n"})) << "a short last line without a line end";
    EXPECT_EQ(lines("ab\n0123456789", 10), (Lines{"ab\n", "0123456789"}))
        << "a last line of exactly the maximum is processed whole";
    EXPECT_EQ(lines("0123456789abc", 10), (Lines{"0123456789"}))
        << "of a longer one only the last, shorter piece is lost";
    EXPECT_EQ(lines("", 10), Lines{});
    EXPECT_EQ(lines("\n\n", 10), (Lines{"\n", "\n"}));
}

TEST_F(TextReaderTest, LongLinesArriveInPieces) {
    EXPECT_EQ(lines("0123456789abcdefghijk\n", 10), (Lines{"0123456789", "abcdefghij", "k\n"}));
    EXPECT_EQ(lines("0123456789\n", 10), (Lines{"0123456789", "\n"}));
}

TEST_F(TextReaderTest, WindowsTextMode) {
    EXPECT_EQ(lines("ab\r\ncd\r\n", 10), (Lines{"ab\n", "cd\n"}));
    EXPECT_EQ(lines("a\rb\r\r\n", 10), (Lines{"a\rb\r\n"})) << "only a CR before a LF goes";
    EXPECT_EQ(lines("ab\ncd\n\x1Aignored\n", 10), (Lines{"ab\n", "cd\n"}));
    EXPECT_EQ(lines("ab\ncd\x1A\n", 10), (Lines{"ab\n"})) << "Ctrl-Z ends the line's read too";
    // The CR-LF split across a piece boundary: the piece of 3 ends before the CR is seen.
    EXPECT_EQ(lines("abc\r\ndef\r\n", 3), (Lines{"abc", "\n", "def", "\n"}));
}

TEST_F(TextReaderTest, CrLfSplitAcrossTheStreamBuffer) {
    // Put the CR as the last byte of one read (of the platform or of the reader) and the LF
    // as the first of the next, at each buffer size either layer might use.
    for (std::size_t at :
         {std::size_t{65535}, TEXT_READER_BUF - 1, TEXT_READER_BUF, 2 * TEXT_READER_BUF - 1}) {
        std::string first(at, 'x');
        auto got = lines(first + "\r\nend\n", 3 * TEXT_READER_BUF);
        ASSERT_EQ(got.size(), 2u) << at;
        EXPECT_EQ(got[0], first + "\n") << at;
        EXPECT_EQ(got[1], "end\n") << at;
    }
    // A lone CR at the very end of the file stays.
    EXPECT_EQ(pieces("ab\r", 10), (Lines{"ab\r|EOF"}));
}

// Reading in stretches must give exactly the pieces that reading piece by piece gives, for
// any text: lines of every length, CR, NUL and Ctrl-Z bytes, and files that span several
// buffers with or without a last line end.
TEST_F(TextReaderTest, StretchesHoldExactlyThePiecesOfTheLineRule) {
    std::mt19937 rng(20261207);
    const char alphabet[] = {'a', 'b', '\n', '\n', '\r', '\0', ' ', '\x1A'};
    for (int round = 0; round < 40; ++round) {
        std::size_t size = round < 30 ? rng() % 400 : TEXT_READER_BUF + rng() % 100000;
        std::string bytes;
        for (std::size_t i = 0; i < size; ++i) {
            char c = alphabet[rng() % (round % 4 == 0 ? 8 : 7)]; // Ctrl-Z in a quarter only
            bytes += rng() % 8 == 0 ? c : static_cast<char>('c' + rng() % 20);
        }
        std::size_t max = round % 2 ? 149 : 1 + rng() % 12;
        auto expected = lines(bytes, max);

        TextReader reader;
        ASSERT_TRUE(text_open(reader, "\\QUARRINE\\F.TXT"));
        std::vector<std::string> got;
        const char* run = nullptr;
        while (std::size_t len = text_read_run(reader, max, &run)) {
            for (std::size_t at = 0; at < len;) {
                std::size_t piece = piece_length(run + at, len - at, max);
                got.emplace_back(run + at, piece);
                at += piece;
            }
        }
        text_close(reader);
        // The piece-by-piece read sees a piece as a string, so compare up to a NUL.
        for (auto& piece : got)
            piece = piece.substr(0, piece.find('\0'));
        EXPECT_EQ(got, expected) << "round " << round << ", max " << max;
    }
}

TEST_F(TextReaderTest, BareReadLeavesTheBufferWhenNothingIsRead) {
    // fgets keeps the previous text when the end of the file comes before any character.
    EXPECT_EQ(pieces("ab\ncd", 10), (Lines{"ab\n", "cd|EOF"}));
    EXPECT_EQ(pieces("ab\n", 10), (Lines{"ab\n", "ab\n|EOF|0"}));
}

// The stretch reader gives nothing for a piece length it cannot hold, and nothing more once the
// end of the file has been met.
TEST_F(TextReaderTest, StretchesStopAtTheEndAndRefuseImpossibleLengths) {
    box.write("QUARRINE/F.TXT", "ab\ncd");
    TextReader reader;
    ASSERT_TRUE(text_open(reader, "\\QUARRINE\\F.TXT"));
    const char* data = nullptr;
    EXPECT_EQ(text_read_run(reader, 0, &data), 0u);
    EXPECT_EQ(text_read_run(reader, TEXT_READER_BUF, &data), 0u);
    ASSERT_EQ(text_read_run(reader, 10, &data), 3u);
    EXPECT_EQ(std::string(data, 3), "ab\n");
    EXPECT_EQ(text_read_run(reader, 10, &data), 0u) << "the short last line is not given";
    EXPECT_EQ(text_read_run(reader, 10, &data), 0u) << "still nothing after the end";
    text_close(reader);
}

} // namespace
