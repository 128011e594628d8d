// logweb_fuzz.cpp - the web log check: for any log the notice file grows by exactly one notice
// block per refused log-in that the line rule lets through, each naming the area of the last
// transfer line before it, and the log stays as it was.
#include "fuzz_platform.h"
#include "logweb_check.h"
#include "notices.h"
#include "reference.h"

#include <cctype>

namespace {

constexpr char BANNER[] = "\n*******************     NOTICE     *************************\n\n";

bool starts_nocase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// The notice blocks the log should give, worked out from the pieces on their own.
std::string expected_notices(const std::string& log) {
    std::string area = "NONE";
    std::string out;
    for (const std::string& piece : line_rule_pieces(log, 189)) {
        std::string text = as_string(piece);
        if (text.size() > 55 && text.find(DOWNLOAD_HOST) != std::string::npos) {
            area.clear();
            for (std::size_t i = text.size() - 4; i < text.size() - 1; ++i)
                area += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        }
        if (starts_nocase(text, "Authorization failed")) {
            std::string message = "\nERROR - INVALID PASSWORD FOR " + area + " AREA";
            for (char& c : message)
                if (c == '@')
                    c = ' ';
            out += BANNER + message + "\n    ";
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_reset();
    fuzz_world.read_chunk = fuzz_chunk_for(data, size);
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string before = "earlier text\n";
    fuzz_world.files[LOGWEB_FILE] = content;
    fuzz_world.files[NOTICE_FILE] = before;
    try {
        check_logweb();
    } catch (const FuzzEnd&) {
        fuzz_check(false, "with an openable notice file the check never ends the run");
    }
    fuzz_check(fuzz_world.files[NOTICE_FILE] == before + expected_notices(content),
               "one notice per refused log-in");
    fuzz_check(fuzz_world.files[LOGWEB_FILE] == content, "the log is only read");
    return 0;
}
