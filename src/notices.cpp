// notices.cpp - the notice file: every message for the user is appended here as a notice
// block. The console is used only when the notice file itself cannot be opened.
#include "notices.h"

#include "platform.h"

#include <cstddef>

namespace {

constexpr char BANNER[] = "\n*******************     NOTICE     *************************\n\n";
constexpr char TRAILER[] = "    ";
constexpr char CANNOT_CREATE[] = "\n\n\n\n\nCANNOT CREATE FILE TELVOX.MSG\n\n\n\n\n";
constexpr std::size_t WORK_CAP = 200; // the message, its newline and the string end

} // namespace

void ask_msg(const char* message) {
    PlatFile* file = plat_open(NOTICE_FILE, OpenMode::append);
    if (file == nullptr) {
        plat_console(CANNOT_CREATE);
        plat_exit(0);
    }
    // Leading spaces are dropped before '@' becomes a space, so " @X" keeps one space. A
    // message longer than the work buffer is cut; the program composes none that long.
    while (*message == ' ')
        ++message;
    char work[WORK_CAP];
    std::size_t n = 0;
    for (; n < WORK_CAP - 2 && message[n] != '\0'; ++n)
        work[n] = message[n] == '@' ? ' ' : message[n];
    work[n++] = '\n';
    work[n] = '\0';
    plat_write_text(file, BANNER);
    plat_write_text(file, work);
    plat_write_text(file, TRAILER);
    plat_close(file);
}
