// text_reader_fuzz.cpp - the line reader: the bare piece read, the line rule and the reading in
// long stretches must all agree with a plain restatement of the rule, for any content, any
// piece length and any read size of the platform. The first two bytes choose these two.
#include "fuzz_platform.h"
#include "reference.h"
#include "text_reader.h"

#include <vector>

namespace {

constexpr char PATH[] = "\\QUARRINE\\F.TXT";
TextReader reader;

// The bare reads give back every byte in order, in pieces of the promised shape.
void check_pieces(const std::string& text, std::size_t max) {
    fuzz_check(text_open(reader, PATH), "open");
    std::vector<char> out(max + 1);
    std::string joined;
    for (;;) {
        std::size_t n = text_read(reader, out.data(), max);
        fuzz_check(n <= max, "piece length");
        if (n == 0) {
            fuzz_check(reader.eof, "an empty read only at the end");
            break;
        }
        fuzz_check(out[n] == '\0', "a piece ends with a string end");
        std::string piece(out.data(), n);
        std::size_t nl = piece.find('\n');
        fuzz_check(nl == std::string::npos || nl == n - 1, "a newline only at a piece's end");
        fuzz_check(nl != std::string::npos || n == max || reader.eof,
                   "a short piece without newline only at the end");
        joined += piece;
        if (reader.eof)
            break;
    }
    fuzz_check(joined == text, "the pieces put together are the content");
    fuzz_check(text_read(reader, out.data(), max) == 0, "nothing after the end");
    text_close(reader);
}

// read_line lets through exactly the pieces of the line rule (seen as strings, since that is
// how its callers take them).
void check_lines(std::size_t max, const std::vector<std::string>& expected) {
    fuzz_check(text_open(reader, PATH), "open");
    std::vector<char> out(max + 1);
    std::vector<std::string> got;
    while (read_line(reader, out.data(), max))
        got.emplace_back(out.data());
    text_close(reader);
    std::vector<std::string> want;
    for (const std::string& piece : expected)
        want.push_back(as_string(piece));
    fuzz_check(got == want, "read_line follows the line rule");
}

// The stretches hold the same pieces, whole, and piece_length finds their ends.
void check_runs(std::size_t max, const std::vector<std::string>& expected) {
    fuzz_check(text_open(reader, PATH), "open");
    std::vector<std::string> got;
    const char* data = nullptr;
    while (std::size_t len = text_read_run(reader, max, &data)) {
        for (std::size_t at = 0; at < len;) {
            std::size_t piece = piece_length(data + at, len - at, max);
            fuzz_check(piece > 0 && piece <= len - at, "piece inside its stretch");
            got.emplace_back(data + at, piece);
            at += piece;
        }
    }
    text_close(reader);
    fuzz_check(got == expected, "text_read_run gives the line rule's pieces");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    fuzz_reset();
    // Mostly short pieces; now and then one longer than the reader's own buffer.
    std::size_t max = data[0] == 255 ? TEXT_READER_BUF + 7 : 1 + data[0] % 200;
    fuzz_world.read_chunk = data[1] < 128 ? 1 + data[1] % 16 : TEXT_READER_BUF;
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    fuzz_world.files[PATH] = text;

    std::vector<std::string> expected = line_rule_pieces(text, max);
    check_pieces(text, max);
    check_lines(max, expected);
    if (max < TEXT_READER_BUF)
        check_runs(max, expected);
    return 0;
}
