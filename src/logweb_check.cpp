// logweb_check.cpp - turns each "Authorization failed" line of the web transfer log into a
// notice naming the data area whose file was being fetched.
#include "logweb_check.h"

#include "notices.h"
#include "text_reader.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t LOG_PIECE_MAX = 189; // longest piece examined in one read
constexpr std::size_t TRANSFER_MIN = 56;   // a transfer line is longer than 55 characters
constexpr std::size_t AREA_CAP = 10;       // room for 9 characters
constexpr char REFUSAL[] = "Authorization failed";
constexpr char REFUSAL_NOTICE[] = "\nERROR - INVALID PASSWORD FOR %s AREA";

TextReader reader; // large buffer; kept out of the stack

// True when line begins with prefix, compared without regard to case.
bool starts_with_nocase(const char* line, const char* prefix) {
    for (; *prefix != '\0'; ++line, ++prefix) {
        unsigned char a = static_cast<unsigned char>(*line);
        unsigned char b = static_cast<unsigned char>(*prefix);
        if (std::tolower(a) != std::tolower(b))
            return false; // also at the end of a shorter line
    }
    return true;
}

} // namespace

int check_logweb() {
    char area[AREA_CAP] = "NONE";
    if (!text_open(reader, LOGWEB_FILE))
        return 0;
    char line[LOG_PIECE_MAX + 1];
    while (read_line(reader, line, LOG_PIECE_MAX)) {
        // The area is the three characters just before the line's last one, which for a line
        // with its line end are the extension of the file it names.
        std::size_t len = std::strlen(line);
        if (len >= TRANSFER_MIN && std::strstr(line, DOWNLOAD_HOST) != nullptr) {
            for (std::size_t i = 0; i < 3; ++i)
                area[i] =
                    static_cast<char>(std::toupper(static_cast<unsigned char>(line[len - 4 + i])));
            area[3] = '\0';
        }
        if (starts_with_nocase(line, REFUSAL)) {
            char message[sizeof REFUSAL_NOTICE + AREA_CAP];
            std::snprintf(message, sizeof message, REFUSAL_NOTICE, area);
            ask_msg(message); // ends the process when the notice file cannot be opened
        }
    }
    text_close(reader);
    return 0;
}
