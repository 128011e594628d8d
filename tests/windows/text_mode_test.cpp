// The program's own text mode held against the C runtime's, under Wine: generated files read
// through fopen "rt" with fread and fgets, and through the program's read path (the platform's
// read and the line reader), must give the same text and the same pieces. One way in which
// Wine 8's runtime fails Microsoft's documented text mode is let through, and only that one: it
// reads on past a Ctrl-Z that stands among the last bytes of its 4096-byte buffer, for some read
// sizes and not others, where Microsoft's documentation has Ctrl-Z end the file ("CTRL+Z is
// interpreted as an end-of-file character on input", Translation Mode Constants, _O_TEXT). The
// program's own text is then held to that rule.
#include "append_lock_cases.h"
#include "platform.h"
#include "text_blocks.h"
#include "text_mode_reference.h"
#include "text_reader.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t RUNTIME_BUFFER = 4096;  // the runtime's stream buffer
constexpr std::size_t OURS = TEXT_READER_BUF; // the line reader's buffer

struct Sample {
    std::string what;
    std::string bytes;
};

// Text of n bytes with CR-LF line ends, then the bytes of tail at exactly offset n.
std::string at_offset(std::size_t n, const std::string& tail) {
    std::string text;
    while (text.size() < n)
        text += "0123456789 abcdef ghijk\r\n";
    text.resize(n);
    return text + tail + "after\r\n";
}

std::vector<Sample> samples() {
    std::vector<Sample> all = {
        {"lone CRs", "a\rb\r\rc\r\n\rd\n"},
        {"CR CR LF", "x\r\r\ny\r\r\r\n"},
        {"CR at the very end", "line\r\nend\r"},
        {"CR alone", "\r"},
        {"Ctrl-Z inside a line", "kept\r\nhalf\x1A"
                                 "lost\r\n"},
        {"Ctrl-Z right after a CR", "a\r\x1A\n"},
        {"NUL bytes", std::string("a\0b\r\n\0\0\r\n\0", 10)},
        {"no line end", "just text"},
        {"empty", ""},
        {"a line longer than every reader's maximum",
         std::string(300000, 'L') + "\r\n" + std::string(5000, 'M')},
    };
    // A CR, a CR-LF and a Ctrl-Z at and beside each read boundary: the runtime's buffer, the
    // line reader's buffer, and the sizes the tests read in.
    for (std::size_t edge :
         {std::size_t{7}, std::size_t{149}, RUNTIME_BUFFER, 2 * RUNTIME_BUFFER, OURS}) {
        for (std::size_t at : {edge - 1, edge, edge + 1}) {
            all.push_back({"CR-LF at " + std::to_string(at), at_offset(at, "\r\n")});
            all.push_back({"lone CR at " + std::to_string(at), at_offset(at, "\rx")});
            all.push_back({"CR CR LF at " + std::to_string(at), at_offset(at, "\r\r\n")});
            all.push_back({"Ctrl-Z at " + std::to_string(at), at_offset(at, "\x1A")});
            all.push_back({"CR then Ctrl-Z at " + std::to_string(at), at_offset(at, "\r\x1A")});
        }
    }
    return all;
}

class TextModeTest : public ::testing::Test {
  protected:
    fs::path file;
    void SetUp() override {
        file = fs::temp_directory_path() /
               ("zelmorth-text-" + std::to_string(GetCurrentProcessId()) + ".txt");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove(file, ec);
    }
    void put(const std::string& bytes) const { std::ofstream(file, std::ios::binary) << bytes; }
};

std::string runtime_fread(const fs::path& file, std::size_t size) {
    std::FILE* f = std::fopen(file.string().c_str(), "rt");
    if (f == nullptr)
        return "<unopenable>";
    std::string all;
    std::vector<char> buf(size);
    while (std::size_t n = std::fread(buf.data(), 1, size, f))
        all.append(buf.data(), n);
    std::fclose(f);
    return all;
}

std::string our_read(const fs::path& file, std::size_t size) {
    return append_lock_cases::text_of(file.string(), size);
}

// fgets tells no length, so the buffer is filled with a mark first: the piece ends at the first
// string end that a mark follows (or the buffer's end). No sample holds the mark's byte. Only
// what a call wrote is marked again, so that long pieces cost no more than their length.
constexpr char MARK = '\xFF';

std::vector<std::string> runtime_fgets(const fs::path& file, std::size_t max) {
    std::vector<std::string> pieces;
    std::FILE* f = std::fopen(file.string().c_str(), "rt");
    if (f == nullptr)
        return {"<unopenable>"};
    std::vector<char> buf(max + 1, MARK);
    while (std::fgets(buf.data(), static_cast<int>(max + 1), f) != nullptr) {
        std::size_t end = 0;
        while (!(buf[end] == '\0' && (end + 1 == buf.size() || buf[end + 1] == MARK)))
            ++end;
        pieces.emplace_back(buf.data(), end);
        std::fill(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(end) + 1, MARK);
    }
    std::fclose(f);
    return pieces;
}

std::vector<std::string> our_pieces(const fs::path& file, std::size_t max) {
    std::vector<std::string> pieces;
    auto reader = std::make_unique<TextReader>();
    if (!text_open(*reader, file.string().c_str()))
        return {"<unopenable>"};
    std::vector<char> buf(max + 1);
    while (std::size_t n = text_read(*reader, buf.data(), max))
        pieces.emplace_back(buf.data(), n);
    text_close(*reader);
    return pieces;
}

TEST_F(TextModeTest, ReadsLikeTheRuntimesTextMode) {
    int compared = 0, past_ctrl_z = 0;
    for (const Sample& sample : samples()) {
        put(sample.bytes);
        const std::string rule =
            text_mode_reference(sample.bytes.substr(0, sample.bytes.find('\x1A')));
        for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{4096},
                                 std::size_t{65536}}) {
            if (size < 4096 && sample.bytes.size() > 65536)
                continue; // a system call a byte costs too long on large files
            std::string ours = our_read(file, size);
            std::string runtime = runtime_fread(file, size);
            ++compared;
            EXPECT_TRUE(ours == rule) << sample.what << ": our read of " << size;
            if (ours == runtime)
                continue;
            bool read_on = sample.bytes.find('\x1A') != std::string::npos &&
                           runtime.size() > ours.size() &&
                           runtime.compare(0, ours.size(), ours) == 0;
            past_ctrl_z += read_on ? 1 : 0;
            EXPECT_TRUE(read_on) << sample.what << ": fread of " << size;
        }
        // The readers' maxima (the settings, the calendar, the relay, the web log) and one
        // longer than any line here.
        for (std::size_t max :
             {std::size_t{79}, std::size_t{149}, std::size_t{189}, std::size_t{400000}}) {
            EXPECT_TRUE(our_pieces(file, max) == runtime_fgets(file, max))
                << sample.what << ": fgets of " << max;
            ++compared;
        }
    }
    std::printf("[ text mode ] %d comparisons with the runtime's text mode; in %d of them the "
                "runtime read on past a Ctrl-Z; the text mode ran the widest blocks of: %s\n",
                compared, past_ctrl_z, text_blocks_up_to(widest_text_blocks()).c_str());
}

} // namespace
