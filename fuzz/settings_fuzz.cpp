// settings_fuzz.cpp - the settings file: any content is read without an end of the run, every
// text field keeps its string end inside its capacity, and directories end with a backslash.
#include "fuzz_platform.h"
#include "globals.h"
#include "settings_file.h"

#include <cstring>

namespace {

template <std::size_t N> bool ends_inside(const char (&field)[N]) {
    return std::memchr(field, '\0', N) != nullptr;
}

template <std::size_t N> bool directory_ok(const char (&field)[N]) {
    std::size_t len = strnlen(field, N);
    return len == 0 || (len < N && field[len - 1] == '\\');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset();
    fuzz_world.read_chunk = fuzz_chunk_for(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    fuzz_world.files[SETTINGS_FILE] = content;
    try {
        load_ini();
    } catch (const FuzzEnd&) {
        fuzz_check(false, "a settings file that opens never ends the run");
    }
    const Settings& s = settings;
    fuzz_check(ends_inside(s.update_directory) && ends_inside(s.bulletin_directory) &&
                   ends_inside(s.comm_flags) && ends_inside(s.userid) && ends_inside(s.password) &&
                   ends_inside(s.xascii_path) && ends_inside(s.xmeta_path) &&
                   ends_inside(s.xascii_mask) && ends_inside(s.xmeta_mask) &&
                   ends_inside(s.xdata_format) && ends_inside(s.xeulast) && ends_inside(s.xusercd),
               "every text field ends inside its capacity");
    fuzz_check(directory_ok(s.update_directory) && directory_ok(s.bulletin_directory),
               "directories end with a backslash");
    for (const char* c = s.userid; *c != '\0'; ++c)
        fuzz_check(!(*c >= 'a' && *c <= 'z'), "values are upper case");
    fuzz_check(fuzz_world.files.size() == 1 && fuzz_world.files[SETTINGS_FILE] == content,
               "the file is only read and nothing else is written");
    return 0;
}
