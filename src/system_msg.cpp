// system_msg.cpp - copies the service's system message file line by line to the end of the
// notice file, so that it stands with the other notices.
#include "system_msg.h"

#include "notices.h"
#include "platform.h"
#include "text_reader.h"

#include <cstring>

namespace {

constexpr std::size_t PIECE_MAX = 149; // longest piece copied in one read

TextReader reader; // large buffer; kept out of the stack

} // namespace

int process_system_msg() {
    if (!text_open(reader, SYSTEM_MSG_FILE))
        return 0;
    // The notice file is opened before anything is read, so it exists afterwards even when
    // there is nothing to copy. Failing that, the run goes on without a word.
    PlatFile* notices = plat_open(NOTICE_FILE, OpenMode::append);
    if (notices == nullptr) {
        text_close(reader);
        return 0;
    }
    char piece[PIECE_MAX + 1];
    while (read_line(reader, piece, PIECE_MAX))
        plat_write_text(notices, piece);
    plat_close(notices);
    text_close(reader);
    return 0;
}
