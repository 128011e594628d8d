// system_msg.cpp - copies the service's system message file line by line to the end of the
// notice file, so that it stands with the other notices.
#include "system_msg.h"

#include "notices.h"
#include "platform.h"
#include "text_blocks.h"
#include "text_reader.h"

#include <cstring>

namespace {

constexpr std::size_t PIECE_MAX = 149; // longest piece copied in one read
constexpr char READ_FAILED_NOTICE[] =
    "ERROR, could not read all of the system message file SYSTEM.MSG";

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
    // Each piece is written as a string: a NUL byte ends what is written of its piece. A
    // stretch without one is written in one go, which gives the same bytes.
    const char* run = nullptr;
    while (std::size_t len = text_read_run(reader, PIECE_MAX, &run)) {
        if (find_byte(run, len, '\0') == nullptr) {
            plat_write(notices, run, len);
            continue;
        }
        for (std::size_t at = 0; at < len;) {
            std::size_t piece = piece_length(run + at, len - at, PIECE_MAX);
            const char* nul = find_byte(run + at, piece, '\0');
            std::size_t upto = nul != nullptr ? static_cast<std::size_t>(nul - (run + at)) : piece;
            plat_write(notices, run + at, upto);
            at += piece;
        }
    }
    plat_close(notices);
    // What was copied stays; the user is told that the rest of the message could not be read.
    bool failed = reader.failed;
    text_close(reader);
    if (failed)
        ask_msg(READ_FAILED_NOTICE);
    return 0;
}
