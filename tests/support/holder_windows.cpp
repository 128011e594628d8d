// holder_windows.cpp - the stand-in for another program that holds a file open without sharing
// it, as an editor or a virus scanner may, for the end-to-end runs under Wine.
// Usage: holder FILE READY-FILE MILLISECONDS RELEASE-FILE. Once FILE is held, READY-FILE is
// made; the hold ends after MILLISECONDS or, with 0, once RELEASE-FILE exists.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD POLL_MS = 20;
constexpr DWORD RELEASE_LIMIT_MS = 300000; // a harness that never releases must not hang CI

bool exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: holder FILE READY-FILE MILLISECONDS RELEASE-FILE\n", stderr);
        return 2;
    }
    HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "holder: cannot open %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(ready);
    long ms = std::strtol(argv[3], nullptr, 10);
    if (ms > 0) {
        Sleep(static_cast<DWORD>(ms));
    } else {
        for (DWORD waited = 0; !exists(argv[4]) && waited < RELEASE_LIMIT_MS; waited += POLL_MS)
            Sleep(POLL_MS);
    }
    CloseHandle(held);
    return 0;
}
