// tables_fuzz.cpp - the commodity tables file: any content either loads tables that keep every
// value rule and stay inside their capacity, or ends the run with status 1 and a notice.
#include "fuzz_platform.h"
#include "globals.h"
#include "notices.h"
#include "tables_file.h"

#include <cstring>

namespace {

bool has_string_end(const char* field, std::size_t size) {
    return std::memchr(field, '\0', size) != nullptr;
}

void check_loaded() {
    fuzz_check(numcom <= MAXCOMMODITIES, "count within capacity");
    int count = numcom < 0 ? 0 : numcom;
    for (int i = 0; i < count; ++i) {
        fuzz_check(roll_month[i] == 0 || roll_month[i] == 1, "roll_month rule");
        fuzz_check(precision[i] >= -7 && precision[i] <= 7, "precision rule");
        fuzz_check(bytes[i] >= 2 && bytes[i] <= 4, "bytes rule");
        fuzz_check(compu_trac[i] >= -7 && compu_trac[i] <= 7, "compu_trac rule");
        fuzz_check(has_string_end(mynames[i], MYNAME_SLOT), "name ends");
        fuzz_check(has_string_end(all_tag[i], TAG_SLOT), "tag ends");
        // Seven tables may load without an all_tag table; then there are no months.
        std::size_t months = strnlen(active_months[i], MONTHS_SLOT);
        fuzz_check(months <= 12, "at most twelve active months");
        for (std::size_t m = 1; m < months; ++m)
            fuzz_check(active_months[i][m] > active_months[i][m - 1], "months ascend");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset();
    fuzz_world.read_chunk = fuzz_chunk_for(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    fuzz_world.files[TABLES_FILE] = content;
    // Seven headers may all select one table, so some tables may not be read at all; they
    // start with valid values so that a value breaking its rule can only come from the file.
    for (int& b : bytes)
        b = 2;
    try {
        load_tables();
        check_loaded();
        fuzz_check(fuzz_world.files.count(NOTICE_FILE) == 0, "no notice when loaded");
    } catch (const FuzzEnd& end) {
        fuzz_check(end.status == 1 && !end.replaced, "a refusal ends with status 1");
        fuzz_check(fuzz_world.files.count(NOTICE_FILE) == 1, "a refusal writes a notice");
    }
    fuzz_check(fuzz_world.files[TABLES_FILE] == content, "the file is only read");
    return 0;
}
