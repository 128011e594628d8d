// fuzz_platform.cpp - the in-memory platform used by the fuzz targets.
#include "fuzz_platform.h"

#include "globals.h"

#include "program_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

FuzzWorld fuzz_world;

namespace {

struct FuzzFile {
    std::string path;
    std::size_t pos = 0;
};

// Files still open when an input ends the process are freed by the next reset.
std::vector<std::unique_ptr<FuzzFile>> open_files;

PlatFile* f_open(const char* path, OpenMode mode) {
    auto it = fuzz_world.files.find(path);
    if (mode == OpenMode::read && it == fuzz_world.files.end())
        return nullptr;
    if (mode == OpenMode::write || mode == OpenMode::replace)
        fuzz_world.files[path].clear();
    else if (mode == OpenMode::append)
        fuzz_world.files[path];
    open_files.push_back(std::make_unique<FuzzFile>(FuzzFile{path}));
    return reinterpret_cast<PlatFile*>(open_files.back().get());
}

std::size_t f_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<FuzzFile*>(file);
    const std::string& text = fuzz_world.files[f->path];
    std::size_t left = text.size() - std::min(f->pos, text.size());
    std::size_t n = std::min({cap, left, fuzz_world.read_chunk});
    std::memcpy(buf, text.data() + f->pos, n);
    f->pos += n;
    return n;
}

bool f_write(PlatFile* file, const char* data, std::size_t len) {
    fuzz_world.files[reinterpret_cast<FuzzFile*>(file)->path].append(data, len);
    return true;
}

bool f_close(PlatFile* file) {
    auto* f = reinterpret_cast<FuzzFile*>(file);
    auto it = std::find_if(open_files.begin(), open_files.end(),
                           [f](const std::unique_ptr<FuzzFile>& p) { return p.get() == f; });
    fuzz_check(it != open_files.end(), "close of a file that is not open");
    open_files.erase(it);
    return true;
}

bool f_remove(const char* path, bool only_empty) {
    auto it = fuzz_world.files.find(path);
    if (it == fuzz_world.files.end() || (only_empty && !it->second.empty()))
        return false;
    fuzz_world.files.erase(it);
    return true;
}

void f_make_writable(const char*) {}

bool f_holds_text(const char* path, const char* text) {
    auto it = fuzz_world.files.find(path);
    return it != fuzz_world.files.end() && it->second == text;
}

// The readers under fuzzing search no folders.
PlatFind* f_find_first(const char*, FindEntry*) {
    return nullptr;
}
bool f_find_next(PlatFind*, FindEntry*) {
    return false;
}
void f_find_close(PlatFind*) {}

void f_today(char out[9]) {
    std::memcpy(out, "12/07/26", 9);
}

int f_run_command(const char*) {
    return 0;
}

void f_overlay(const char* path) {
    if (fuzz_world.files.count(path) != 0)
        throw FuzzEnd{0, true};
}

void f_console_write(const char* text) {
    fuzz_world.console += text;
}
void f_console_flush() {}
void f_exit(int status) {
    throw FuzzEnd{status, false};
}

constexpr PlatformOps FUZZ_OPS = {
    f_open,       f_read,          f_write,         f_close,      f_remove, f_make_writable,
    f_holds_text, f_find_first,    f_find_next,     f_find_close, f_today,  f_run_command,
    f_overlay,    f_console_write, f_console_flush, f_exit,
};

} // namespace

void fuzz_reset() {
    plat = FUZZ_OPS;
    open_files.clear();
    fuzz_world = FuzzWorld{};

    reset_program_state();
    ceol = '\n'; // as the run sequence sets it before any stage
}

void fuzz_check(bool cond, const char* what) {
    if (cond)
        return;
    std::fprintf(stderr, "broken property: %s\n", what);
    std::abort();
}

std::size_t fuzz_chunk_for(const std::uint8_t* data, std::size_t size) {
    std::size_t h = size;
    for (std::size_t i = 0; i < size && i < 8; ++i)
        h = h * 31 + data[i];
    // Mostly whole reads, sometimes very short ones.
    return h % 4 == 0 ? 1 + h % 7 : (h % 4 == 1 ? 1 + h % 200 : 1 << 16);
}
