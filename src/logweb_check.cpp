// logweb_check.cpp - turns each "Authorization failed" line of the web transfer log into a
// notice naming the data area whose file was being fetched.
#include "logweb_check.h"

#include "c_locale.h"
#include "notices.h"
#include "text_blocks.h"
#include "text_reader.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t LOG_PIECE_MAX = 189; // longest piece examined in one read
constexpr std::size_t TRANSFER_MIN = 56;   // a transfer line is longer than 55 characters
constexpr std::size_t AREA_CAP = 10;       // room for 9 characters
constexpr char REFUSAL[] = "Authorization failed";
constexpr char REFUSAL_NOTICE[] = "\nERROR - INVALID PASSWORD FOR %s AREA";
constexpr char READ_FAILED_NOTICE[] = "ERROR, could not read all of the web log file LOGWEB.TXT";

TextReader reader; // large buffer; kept out of the stack

// Pieces long enough to be transfer lines, read since the area was last settled, oldest first.
// Whether one holds the host's name is asked only when a refusal needs the area or before the
// reader's buffer moves on, newest first, so that most lines of a large log are never searched.
struct Candidate {
    const char* text;
    std::size_t len;
};
constexpr std::size_t CANDIDATES_MAX = 1024;
Candidate candidates[CANDIDATES_MAX];
std::size_t num_candidates = 0;

// True when the text of len characters begins with prefix, compared without regard to case.
bool starts_with_nocase(const char* text, std::size_t len, const char* prefix) {
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i == len || ascii_upper(text[i]) != ascii_upper(prefix[i]))
            return false;
    }
    return true;
}

// True when the text of len characters holds the download host's name.
bool holds_host(const char* text, std::size_t len) {
    constexpr std::size_t HOST_LEN = sizeof DOWNLOAD_HOST - 1;
    const char* end = text + len;
    for (const char* at = text; static_cast<std::size_t>(end - at) >= HOST_LEN; ++at) {
        at = find_byte(at, static_cast<std::size_t>(end - at) - HOST_LEN + 1, DOWNLOAD_HOST[0]);
        if (at == nullptr)
            return false;
        if (std::memcmp(at + 1, DOWNLOAD_HOST + 1, HOST_LEN - 1) == 0)
            return true;
    }
    return false;
}

// Brings the area up to date with the pieces read so far: the newest transfer line names it.
// The area is the three characters just before the line's last one, which for a line with its
// line end are the extension of the file it names.
void settle_area(char* area) {
    while (num_candidates > 0) {
        const Candidate& line = candidates[--num_candidates];
        if (holds_host(line.text, line.len)) {
            for (std::size_t i = 0; i < 3; ++i)
                area[i] = ascii_upper(line.text[line.len - 4 + i]);
            area[3] = '\0';
            num_candidates = 0;
        }
    }
}

// Looks at one line of the log (as a string: a NUL byte ends it): a transfer line sets the
// area, a refusal writes the notice.
void check_line(const char* line, std::size_t len, char* area) {
    if (len >= TRANSFER_MIN) {
        if (num_candidates == CANDIDATES_MAX)
            settle_area(area);
        candidates[num_candidates++] = {line, len};
    }
    if (starts_with_nocase(line, len, REFUSAL)) {
        settle_area(area);
        char message[sizeof REFUSAL_NOTICE + AREA_CAP];
        // NOLINTNEXTLINE(cert-err33-c): room for any area, so the length is not needed
        std::snprintf(message, sizeof message, REFUSAL_NOTICE, area);
        ask_msg(message); // ends the process when the notice file cannot be opened
    }
}

} // namespace

int check_logweb() {
    char area[AREA_CAP] = "NONE";
    num_candidates = 0; // left over when a notice that could not be written ended a check
    if (!text_open(reader, LOGWEB_FILE))
        return 0;
    const char* run = nullptr;
    while (std::size_t len = text_read_run(reader, LOG_PIECE_MAX, &run)) {
        bool has_nul = find_byte(run, len, '\0') != nullptr;
        for (std::size_t at = 0; at < len;) {
            std::size_t piece = piece_length(run + at, len - at, LOG_PIECE_MAX);
            std::size_t text = piece;
            if (has_nul) {
                const char* nul = find_byte(run + at, piece, '\0');
                if (nul != nullptr)
                    text = static_cast<std::size_t>(nul - (run + at));
            }
            check_line(run + at, text, area);
            at += piece;
        }
        settle_area(area); // the next read moves the buffer's text
    }
    // The refusals found so far have been reported; the user is told that the rest of the log
    // could not be looked at.
    bool failed = reader.failed;
    text_close(reader);
    if (failed)
        ask_msg(READ_FAILED_NOTICE);
    return 0;
}
