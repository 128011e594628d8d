// text_blocks.cpp - the line-end translation of the text mode. Files from the service have
// CR-LF line ends on every short line, so reading runs wide blocks where it can.
#include "text_blocks.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define ZELMORTH_X86_BLOCKS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

#if defined(ZELMORTH_X86_BLOCKS)

// 64-byte blocks: the CR-LF pairs of a block are found by comparing it with itself shifted by
// one byte, and the bytes kept are gathered to its front and stored as a whole. The store runs
// up to 64 bytes from n, which never passes i + 64: input still unread is never overwritten.
__attribute__((target("avx512f,avx512bw,avx512vbmi2"))) void
drop_blocks_64(char* buf, std::size_t len, std::size_t& i, std::size_t& n) {
    const __m512i cr = _mm512_set1_epi8('\r');
    const __m512i lf = _mm512_set1_epi8('\n');
    for (; len >= 65 && i <= len - 65; i += 64) {
        __m512i block = _mm512_loadu_si512(buf + i);
        __m512i next = _mm512_loadu_si512(buf + i + 1);
        __mmask64 drop = _mm512_cmpeq_epi8_mask(block, cr) & _mm512_cmpeq_epi8_mask(next, lf);
        __mmask64 keep = ~drop;
        _mm512_storeu_si512(buf + n, _mm512_maskz_compress_epi8(keep, block));
        n += static_cast<std::size_t>(std::popcount(static_cast<unsigned long long>(keep)));
    }
}

// The first byte equal to byte in data[i, len), 256 bytes a step while no block of them holds
// one; i is left at the first 64-byte block that may, or at the last place a whole step starts.
__attribute__((target("avx512f,avx512bw"))) const char*
find_byte_64(const char* data, std::size_t len, char byte, std::size_t& i) {
    const __m512i wanted = _mm512_set1_epi8(byte);
    for (; len >= 256 && i <= len - 256; i += 256) {
        __mmask64 any = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(data + i), wanted) |
                        _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(data + i + 64), wanted) |
                        _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(data + i + 128), wanted) |
                        _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(data + i + 192), wanted);
        if (any != 0)
            break;
    }
    for (; len >= 64 && i <= len - 64; i += 64) {
        __mmask64 found = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(data + i), wanted);
        if (found != 0)
            return data + i + std::countr_zero(static_cast<unsigned long long>(found));
    }
    return nullptr;
}

// 16-byte blocks, for when the output already trails the input by at least 16 bytes. The block
// is stored whole; each dropped CR at k ends the bytes kept so far, and the bytes after it are
// copied behind them, again 16 at a time. A store may run up to 15 bytes past the text made,
// into input already used, and the next store overwrites it. A block and the 16 bytes after
// it are read before anything is stored over them, so blocks start no later than len - 32.
void drop_blocks_16(char* buf, std::size_t len, std::size_t& i, std::size_t& n) {
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; len >= 32 && i <= len - 32; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i + 1));
        auto ends = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(next, lf))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + n), block);
        std::size_t from = 0;
        while (ends != 0) {
            auto k = static_cast<std::size_t>(std::countr_zero(ends));
            if (from > 0)
                std::memcpy(buf + n, buf + i + from, 16);
            n += k - from;
            from = k + 1;
            ends &= ends - 1;
        }
        if (from > 0)
            std::memcpy(buf + n, buf + i + from, 16);
        n += 16 - from;
    }
}

// Text written with CR-LF line ends, 16 bytes a step: a block without a LF is stored as it is;
// in one with LFs, the bytes up to each LF are stored 16 at a time and the LF becomes CR-LF. A
// store may run up to 15 bytes past the text made, into room that the next store overwrites,
// so the steps run while the output has room for a block's 32 bytes and 16 more, and while 16
// bytes of input are left after the block, which a store's load may read.
void expand_blocks_16(const char* in, std::size_t len, char* out, std::size_t cap, std::size_t& i,
                      std::size_t& n) {
    const __m128i lf = _mm_set1_epi8('\n');
    auto load = [](const char* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    auto store = [](char* at, __m128i block) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), block);
    };
    for (; len >= 32 && i <= len - 32 && cap >= 48 && n <= cap - 48; i += 16) {
        __m128i block = load(in + i);
        auto ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf)));
        std::size_t from = 0;
        while (ends != 0) {
            auto k = static_cast<std::size_t>(std::countr_zero(ends));
            store(out + n, load(in + i + from));
            n += k - from;
            out[n++] = '\r';
            out[n++] = '\n';
            from = k + 1;
            ends &= ends - 1;
        }
        store(out + n, load(in + i + from));
        n += 16 - from;
    }
}

// Whether the 64-byte blocks can run: the processor has AVX512F, BW and VBMI2, and the system
// saves the registers they use (XCR0: SSE, AVX, the mask registers and all of the ZMM ones).
// F is asked for too: BW and VBMI2 build on it, but a hypervisor may hide F and still show them.
// Three CPUID instructions, where the compiler's own check runs a dozen at every start; in a
// virtual machine each one stops for the hypervisor.
bool avx512_usable() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid(1, a, b, c, d);
    if ((c & bit_OSXSAVE) == 0)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    if ((b & bit_AVX512F) == 0 || (b & bit_AVX512BW) == 0 || (c & bit_AVX512VBMI2) == 0)
        return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned ZMM_STATE = 0xE6; // SSE, AVX, opmask, upper ZMM 0-15, ZMM 16-31
    return (xcr0_low & ZMM_STATE) == ZMM_STATE;
}

#endif

} // namespace

const char* find_byte(const char* data, std::size_t len, char byte) {
    std::size_t i = 0;
#if defined(ZELMORTH_X86_BLOCKS)
    static const bool wide = widest_text_blocks() == TextBlocks::avx512;
    if (wide && len >= 256) {
        if (const char* found = find_byte_64(data, len, byte, i))
            return found;
    }
    const __m128i wanted = _mm_set1_epi8(byte);
    auto mask_at = [&](std::size_t at) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, wanted)));
    };
    // Four blocks a step while no byte matches, then the block that holds the first one.
    for (; len >= 64 && i <= len - 64; i += 64) {
        if ((mask_at(i) | mask_at(i + 16) | mask_at(i + 32) | mask_at(i + 48)) != 0)
            break;
    }
    for (; len >= 16 && i <= len - 16; i += 16) {
        if (unsigned found = mask_at(i))
            return data + i + std::countr_zero(found);
    }
#endif
    for (; i < len; ++i) {
        if (data[i] == byte)
            return data + i;
    }
    return nullptr;
}

TextBlocks widest_text_blocks() {
#if defined(ZELMORTH_X86_BLOCKS)
    return avx512_usable() ? TextBlocks::avx512 : TextBlocks::sse2;
#else
    return TextBlocks::bytes;
#endif
}

// Text is moved down exactly, a run between two CRs at a time, until the output trails the
// input far enough for the block steps. A file with LF line ends has no CR-LF to drop and is
// not moved at all.
std::size_t drop_cr_before_lf(char* buf, std::size_t len, TextBlocks blocks) {
    std::size_t i = 0; // next input byte
    std::size_t n = 0; // end of the output
#if defined(ZELMORTH_X86_BLOCKS)
    if (blocks == TextBlocks::avx512)
        drop_blocks_64(buf, len, i, n);
#else
    (void)blocks;
#endif
    while (i < len) {
#if defined(ZELMORTH_X86_BLOCKS)
        if (blocks != TextBlocks::bytes && i - n >= 16)
            drop_blocks_16(buf, len, i, n);
#endif
        const char* cr = find_byte(buf + i, len - i, '\r');
        std::size_t run = cr != nullptr ? static_cast<std::size_t>(cr - (buf + i)) : len - i;
        if (n != i)
            std::memmove(buf + n, buf + i, run);
        n += run;
        i += run;
        if (cr == nullptr)
            break;
        if (i + 1 < len && buf[i + 1] == '\n') {
            ++i; // the CR of a CR-LF is dropped; its LF goes with the next run
            continue;
        }
        buf[n++] = '\r';
        ++i;
    }
    return n;
}

std::size_t copy_line_ends(const char* in, std::size_t len, char* out, std::size_t cap,
                           const char* line_end, TextBlocks blocks, std::size_t* used) {
    std::size_t end_len = std::strlen(line_end);
    if (end_len == 1 && line_end[0] == '\n') {
        std::size_t n = len < cap ? len : cap;
        if (n > 0) // an empty room may have no memory behind it at all
            std::memcpy(out, in, n);
        *used = n;
        return n;
    }
    std::size_t i = 0; // next input byte
    std::size_t n = 0; // end of the output
#if defined(ZELMORTH_X86_BLOCKS)
    if (blocks != TextBlocks::bytes && std::strcmp(line_end, "\r\n") == 0)
        expand_blocks_16(in, len, out, cap, i, n);
#else
    (void)blocks;
#endif
    while (i < len && n < cap) {
        std::size_t room = cap - n < len - i ? cap - n : len - i;
        const char* lf = find_byte(in + i, room, '\n');
        std::size_t run = lf != nullptr ? static_cast<std::size_t>(lf - (in + i)) : room;
        std::memcpy(out + n, in + i, run);
        n += run;
        i += run;
        if (lf == nullptr || cap - n < end_len)
            break;
        for (std::size_t k = 0; k < end_len; ++k)
            out[n++] = line_end[k];
        ++i;
    }
    *used = i;
    return n;
}
