// fake_platform.cpp - the in-memory platform used by the unit tests.
#include "fake_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

FakeWorld* current = nullptr;

struct FakeFile {
    std::string path;
    OpenMode mode;
    std::size_t pos = 0;
    std::string replacement; // what a replacement has written, put in place at the close
};

bool ends_with_nocase(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size())
        return false;
    return std::equal(
        suffix.begin(), suffix.end(), s.end() - static_cast<long>(suffix.size()),
        [](char a, char b) { return std::toupper(a & 0xFF) == std::toupper(b & 0xFF); });
}

PlatFile* fake_open(const char* path, OpenMode mode) {
    if (current->unopenable.count(path) != 0 || current->folders.count(path) != 0)
        return nullptr;
    auto it = current->files.find(path);
    if (mode == OpenMode::read && it == current->files.end())
        return nullptr;
    if (mode != OpenMode::read && mode != OpenMode::append && current->read_only.count(path) != 0)
        return nullptr; // a read-only file is neither written over nor renamed over
    if (mode == OpenMode::write)
        current->files[path].clear();
    else if (mode == OpenMode::append)
        current->files[path];
    return reinterpret_cast<PlatFile*>(new FakeFile{path, mode, 0, {}});
}

std::size_t fake_read(PlatFile* file, char* buf, std::size_t cap) {
    auto* f = reinterpret_cast<FakeFile*>(file);
    const std::string& text = current->files[f->path];
    std::size_t n = std::min(cap, text.size() - std::min(f->pos, text.size()));
    std::memcpy(buf, text.data() + f->pos, n);
    f->pos += n;
    return n;
}

bool fake_write(PlatFile* file, const char* data, std::size_t len) {
    auto* f = reinterpret_cast<FakeFile*>(file);
    (f->mode == OpenMode::replace ? f->replacement : current->files[f->path]).append(data, len);
    return true;
}

bool fake_close(PlatFile* file) {
    auto* f = reinterpret_cast<FakeFile*>(file);
    if (f->mode == OpenMode::replace)
        current->files[f->path] = f->replacement;
    delete f;
    return true;
}

bool fake_remove(const char* path, bool only_empty) {
    auto it = current->files.find(path);
    if (current->read_only.count(path) != 0 || it == current->files.end() ||
        (only_empty && !it->second.empty()))
        return false;
    current->files.erase(it);
    return true;
}

bool fake_holds_text(const char* path, const char* text) {
    auto it = current->files.find(path);
    return it != current->files.end() && it->second == text;
}

void fake_make_writable(const char* path) {
    current->read_only.erase(path);
}

struct FakeFind {
    std::vector<FindEntry> entries;
    std::size_t next = 0;
};

bool fake_find_next(PlatFind* search, FindEntry* entry) {
    auto* s = reinterpret_cast<FakeFind*>(search);
    if (s->next == s->entries.size())
        return false;
    *entry = s->entries[s->next++];
    return true;
}

PlatFind* fake_find_first(const char* pattern, FindEntry* entry) {
    std::string pat(pattern);
    std::size_t slash = pat.rfind('\\');
    std::string folder = pat.substr(0, slash + 1);
    std::string suffix = pat.substr(slash + 2); // after the '*'
    auto* s = new FakeFind;
    auto add = [&](const std::string& path, unsigned long long size) {
        if (path.rfind(folder, 0) != 0 || path.find('\\', folder.size()) != std::string::npos)
            return;
        std::string name = path.substr(folder.size());
        if (!ends_with_nocase(name, suffix) || name.size() >= FIND_NAME_MAX)
            return;
        FindEntry e{};
        std::memcpy(e.name, name.c_str(), name.size() + 1);
        e.size = size;
        s->entries.push_back(e);
    };
    for (const auto& [path, text] : current->files)
        add(path, text.size());
    for (const auto& path : current->folders)
        add(path, 0);
    if (!fake_find_next(reinterpret_cast<PlatFind*>(s), entry)) {
        delete s;
        return nullptr;
    }
    return reinterpret_cast<PlatFind*>(s);
}

void fake_find_close(PlatFind* search) {
    delete reinterpret_cast<FakeFind*>(search);
}

void fake_today(char out[9]) {
    std::memset(out, 0, 9);
    std::strncpy(out, current->today.c_str(), 8);
}

int fake_run_command(const char* command) {
    current->commands.emplace_back(command);
    return current->command_status;
}

void fake_overlay(const char* path) {
    current->overlays.emplace_back(path);
    if (current->overlay_starts && current->files.count(path) != 0)
        throw ProcessReplaced{path};
}

void fake_console_write(const char* text) {
    current->console += text;
}
void fake_console_flush() {}
void fake_exit(int status) {
    throw ProcessEnded{status};
}

constexpr PlatformOps FAKE_OPS = {
    fake_open,      fake_read,          fake_write,         fake_close,
    fake_remove,    fake_make_writable, fake_holds_text,    fake_find_first,
    fake_find_next, fake_find_close,    fake_today,         fake_run_command,
    fake_overlay,   fake_console_write, fake_console_flush, fake_exit,
};

} // namespace

FakePlatform::FakePlatform() : saved_(plat) {
    current = &world;
    plat = FAKE_OPS;
}

FakePlatform::~FakePlatform() {
    plat = saved_;
    current = nullptr;
}
