// holidays_fuzz.cpp - the holiday calendar: any content either loads at most MAXHOLIDAYS dates
// and prints at most one of the two expiry texts, or writes a notice and hands over to the
// four-line merge batch.
#include "abort.h"
#include "fuzz_platform.h"
#include "globals.h"
#include "holidays_file.h"
#include "notices.h"

namespace {

const std::string MERGE_TEXT = "@ECHO OFF\n"
                               "START TELVOX /M\n"
                               "START HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                               "START HALTBOX \"Finished_-_Merge\" 1000\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset();
    fuzz_world.read_chunk = fuzz_chunk_for(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    fuzz_world.files[HOLIDAYS_FILE] = content;
    try {
        load_holidays();
        fuzz_check(num_holidays >= 0 && num_holidays <= MAXHOLIDAYS, "calendar within capacity");
        const std::string& out = fuzz_world.console;
        fuzz_check(out.empty() || out == "WARNING-HOLIDAY FILE HAS EXPIRED!!" ||
                       out.rfind("NOTE:NUMBER OF DAYS TO END OF HOLIDAY FILE = ", 0) == 0,
                   "console holds nothing or one expiry text");
        fuzz_check(fuzz_world.files.count(NOTICE_FILE) == 0, "no notice when loaded");
    } catch (const FuzzEnd& end) {
        fuzz_check(end.replaced, "a damaged calendar hands over to the merge batch");
        fuzz_check(fuzz_world.files[MERGE_BATCH] == MERGE_TEXT, "the batch has its four lines");
        fuzz_check(fuzz_world.files.count(NOTICE_FILE) == 1, "a damaged calendar is reported");
    }
    fuzz_check(fuzz_world.files[HOLIDAYS_FILE] == content, "the file is only read");
    return 0;
}
