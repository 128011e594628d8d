// text_mode_fuzz.cpp - the text mode on any bytes. Every block width this processor runs must
// drop exactly the CRs that stand directly before a LF, in place, and touch nothing outside the
// buffer. Read through the text mode over a system that delivers the bytes in pieces of any
// size, to a caller that asks for any size, the file must give its bytes up to the first
// Ctrl-Z, so translated; written back in pieces of any size, the text must land with every LF
// as the system's line end.
#include "file_bytes.h"
#include "fuzz_platform.h"
#include "text_blocks.h"
#include "text_mode.h"
#include "text_mode_reference.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// One file in memory, read in pieces of at most chunk bytes.
struct MemoryFile {
    std::string bytes;
    std::size_t at = 0;
    std::size_t chunk = 1;
};
MemoryFile memory;

SysFile* memory_open(const char*, OpenMode mode, unsigned long long* size) {
    if (mode != OpenMode::read)
        memory.bytes.clear();
    memory.at = 0;
    *size = memory.bytes.size();
    return reinterpret_cast<SysFile*>(&memory);
}
std::size_t memory_read(SysFile*, char* buf, std::size_t cap) {
    std::size_t n = std::min({cap, memory.chunk, memory.bytes.size() - memory.at});
    memory.bytes.copy(buf, n, memory.at);
    memory.at += n;
    return n;
}
bool memory_write(SysFile*, const char* data, std::size_t len) {
    memory.bytes.append(data, len);
    return true;
}
bool memory_close(SysFile*) {
    return true;
}

std::string written_form(const std::string& text, const char* line_end) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string(line_end) : std::string(1, c);
    return out;
}

} // namespace

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

    // The sizes of the system's reads and the caller's come from the input's first bytes.
    const std::size_t ask = size > 0 ? 1 + data[0] % 97 : 1;
    const char* line_end = size > 1 && (data[1] & 1) != 0 ? "\r\n" : "\n";
    FileBytes saved = file_bytes;
    file_bytes.open = memory_open;
    file_bytes.read = memory_read;
    file_bytes.write = memory_write;
    file_bytes.close = memory_close;
    file_bytes.line_end = line_end;
    memory.bytes = bytes;
    memory.chunk = size > 2 ? 1 + data[2] % 131 : 1;
    PlatFile* f = text_mode_open("F", OpenMode::read);
    std::string text;
    std::vector<char> piece(ask);
    while (std::size_t n = text_mode_read(f, piece.data(), ask))
        text.append(piece.data(), n);
    text_mode_close(f);
    fuzz_check(text == text_mode_reference(bytes.substr(0, bytes.find('\x1A'))), "text read");

    f = text_mode_open("F", OpenMode::write);
    for (std::size_t at = 0; at < text.size(); at += ask)
        text_mode_write(f, text.data() + at, std::min(ask, text.size() - at));
    text_mode_close(f);
    fuzz_check(memory.bytes == written_form(text, line_end), "text written");
    file_bytes = saved;
    return 0;
}
