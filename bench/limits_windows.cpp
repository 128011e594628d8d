// limits_windows.cpp - the limits that the benchmark holds the Windows program to: a plain
// binary copy through ReadFile and WriteFile, and a binary scan that counts a text in a file,
// on its own or with one locked append to a notice file for each time it is found.
//   bench_limits copy FROM TO              appends FROM to TO, 128 KiB at a time, as dd would
//   bench_limits count TEXT FILE           prints how often TEXT occurs in FILE
//   bench_limits count TEXT FILE NOTICES   the same, appending a notice to NOTICES each time,
//                                          naming the area as the program's notice does
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD BLOCK = 128 * 1024;
constexpr std::size_t NEEDLE_MAX = 256;
constexpr std::size_t LOOK_BACK = 5; // the end of the line before a match: the area and CR-LF
char buffer[LOOK_BACK + NEEDLE_MAX + BLOCK];

HANDLE open_read(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

int copy(const char* from, const char* to) {
    HANDLE in = open_read(from);
    HANDLE out = CreateFileA(to, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE)
        return 1;
    DWORD got = 0;
    while (ReadFile(in, buffer, BLOCK, &got, nullptr) && got > 0) {
        DWORD put = 0;
        if (!WriteFile(out, buffer, got, &put, nullptr) || put != got)
            return 1;
    }
    return CloseHandle(in) && CloseHandle(out) ? 0 : 1;
}

// The area that the program's notice names for a match at `at`, taken from the log: the last
// three characters of the line just before, in upper case, which in the bench's log is the
// transfer line whose file extension names the area; NONE when the file has no line before.
void area_before(const char* from, const char* at, char (&area)[5]) {
    const char* end = at;
    if (end > from && end[-1] == '\n')
        --end;
    if (end > from && end[-1] == '\r')
        --end;
    if (end - from < 3) {
        std::memcpy(area, "NONE", sizeof area);
        return;
    }
    for (int i = 0; i < 3; ++i) {
        char c = end[i - 3];
        area[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    area[3] = '\0';
}

// What the program must do at the least for each notice: open the notice file to append,
// take the appenders' lock, write the block, let go and close.
bool append_notice(const char* notices, const char* area) {
    char block[128];
    int size = std::snprintf(block, sizeof block,
                             "\r\n*******************     NOTICE     *************************\r\n"
                             "\r\n\r\nERROR - INVALID PASSWORD FOR %s AREA\r\n    ",
                             area);
    if (size < 0 || static_cast<std::size_t>(size) >= sizeof block)
        return false;
    HANDLE out =
        CreateFileA(notices, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED at{};
    at.OffsetHigh = 1U << 30; // the program's lock offset, 2^62
    bool locked = LockFileEx(out, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
    DWORD put = 0;
    bool ok = WriteFile(out, block, static_cast<DWORD>(size), &put, nullptr) != 0;
    if (locked)
        UnlockFileEx(out, 0, 1, 0, &at);
    return CloseHandle(out) != 0 && ok;
}

// The last len - 1 bytes of each block are kept in front of the next one, so that a text cut
// by the end of a block is still found, and found once; and before them up to LOOK_BACK bytes
// more, which are not searched again, for the area of a match at the start of a block.
int count(const char* needle, const char* path, const char* notices) {
    std::size_t len = std::strlen(needle);
    if (len == 0 || len > NEEDLE_MAX)
        return 2;
    HANDLE in = open_read(path);
    if (in == INVALID_HANDLE_VALUE)
        return 1;
    unsigned long long found = 0;
    std::size_t back = 0;
    std::size_t kept = 0;
    DWORD got = 0;
    while (ReadFile(in, buffer + back + kept, BLOCK, &got, nullptr) && got > 0) {
        std::size_t have = back + kept + got;
        const char* at = buffer + back;
        const char* end = buffer + have;
        while (static_cast<std::size_t>(end - at) >= len) {
            std::size_t starts = static_cast<std::size_t>(end - at) - len + 1;
            at = static_cast<const char*>(std::memchr(at, needle[0], starts));
            if (at == nullptr)
                break;
            if (std::memcmp(at, needle, len) == 0) {
                ++found;
                if (notices != nullptr) {
                    char area[5];
                    area_before(buffer, at, area);
                    if (!append_notice(notices, area))
                        return 1;
                }
                at += len;
            } else {
                ++at;
            }
        }
        // A match ends at most len - 1 bytes before the end, so what is kept holds no match.
        kept = have - back < len - 1 ? have - back : len - 1;
        back = have - kept < LOOK_BACK ? have - kept : LOOK_BACK;
        std::memmove(buffer, end - kept - back, kept + back);
    }
    CloseHandle(in);
    std::printf("%llu\n", found);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "copy") == 0)
        return copy(argv[2], argv[3]);
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "count") == 0)
        return count(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    std::fputs("usage: bench_limits copy FROM TO | count TEXT FILE [NOTICES]\n", stderr);
    return 2;
}
