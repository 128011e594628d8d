// update_cleanup.cpp - deletes the empty files of the data areas (AREAS below) from the update
// folder; files with data and files of other kinds stay.
#include "update_cleanup.h"

#include "platform.h"

#include <cctype>
#include <cstring>
#include <iterator>

namespace {

constexpr char UPDATE_FOLDER[] = "\\QUARRINE\\UPDATES\\";

// The data areas in the order they are cleaned: the search pattern and the extension. This is
// their one source; these name them too and change with it: README.md (step 2),
// packaging/README-windows.txt.in, AREAS in scripts/bench.py (the test bench_areas holds it to
// this table), and the clean-up's cases in tests/update_cleanup_test.cpp and in
// tests/e2e/housekeeping_test.cpp.
struct Area {
    const char* pattern;
    const char* ext;
};
constexpr Area AREAS[] = {
    {"\\QUARRINE\\UPDATES\\*.CLC", "CLC"},
    {"\\QUARRINE\\UPDATES\\*.IDX", "IDX"},
    {"\\QUARRINE\\UPDATES\\*.COT", "COT"},
};

// Room for the folder prefix and the longest name a search can yield, so that no name is
// too long to be deleted.
constexpr std::size_t PATH_CAP = sizeof UPDATE_FOLDER - 1 + FIND_NAME_MAX;

// True when name ends in a dot and the extension, compared without regard to case. The
// Windows search also matches longer extensions through short names (*.CLC finds d.CLCX), so
// the stage checks the name itself rather than trusting the pattern.
bool has_extension(const char* name, std::size_t len, const char* ext) {
    std::size_t ext_len = std::strlen(ext);
    if (len < ext_len + 1 || name[len - ext_len - 1] != '.')
        return false;
    for (std::size_t i = 0; i < ext_len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[len - ext_len + i]);
        if (std::toupper(c) != static_cast<unsigned char>(ext[i]))
            return false;
    }
    return true;
}

// Deletes one entry of the search if it is an empty file of the area. A name that holds a
// path separator cannot come from a Windows search; on a file system that allows one it would
// reach outside the update folder, so it is left alone.
void delete_if_empty(const FindEntry& entry, const char* ext) {
    if (entry.size != 0)
        return;
    const void* end = std::memchr(entry.name, '\0', FIND_NAME_MAX);
    if (end == nullptr)
        return; // not a complete name
    std::size_t len = static_cast<std::size_t>(static_cast<const char*>(end) - entry.name);
    if (!has_extension(entry.name, len, ext))
        return;
    if (std::memchr(entry.name, '\\', len) != nullptr ||
        std::memchr(entry.name, '/', len) != nullptr)
        return;
    char path[PATH_CAP];
    std::size_t prefix = sizeof UPDATE_FOLDER - 1;
    std::memcpy(path, UPDATE_FOLDER, prefix);
    std::memcpy(path + prefix, entry.name, len);
    path[prefix + len] = '\0';
    // The search's size can lag the file (a folder listing cached by a network drive, a file
    // still being written), so the deletion looks at the size again and keeps a file that has
    // data by then. A refused deletion (read-only file, sub-folder) is passed over.
    plat_remove_if_empty(path);
}

} // namespace

const char* update_area(std::size_t i) {
    return i < std::size(AREAS) ? AREAS[i].ext : nullptr;
}

int delete_zero_files() {
    for (const Area& area : AREAS) {
        FindEntry entry;
        PlatFind* search = plat_find_first(area.pattern, &entry);
        if (search == nullptr)
            continue;
        do
            delete_if_empty(entry, area.ext);
        while (plat_find_next(search, &entry));
        plat_find_close(search);
    }
    return 0;
}
