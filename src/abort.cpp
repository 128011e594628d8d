// abort.cpp - crash and crash_merge, and the four-line merge batch that lets the main updater
// merge even when this program cannot finish its own work.
#include "abort.h"

#include "notices.h"
#include "platform.h"

namespace {

constexpr char MERGE_TEXT[] = "@ECHO OFF\n"
                              "START TELVOX /M\n"
                              "START HALTBOX \"Finished_-_Zelmorth\" 1000\n"
                              "START HALTBOX \"Finished_-_Merge\" 1000\n";

// Writes the four lines in place of whatever stood at the batch's name, in one step at the
// close, so that there is never a moment without a whole batch; false when that failed, and
// the name then holds what it held before.
bool replace_batch() {
    PlatFile* file = plat_open(MERGE_BATCH, OpenMode::replace);
    if (file == nullptr)
        return false;
    bool ok = plat_write_text(file, MERGE_TEXT);
    return plat_close(file) && ok;
}

} // namespace

void crash(const char* message) {
    ask_msg(message);
    plat_exit(0);
}

// A command interpreter on Windows reads a batch anew for each line, from where it stopped, so
// another run's interpreter may be in the middle of this batch. Every run writes the same four
// lines; a batch that holds them already is left as it is, and any other is replaced whole.
int create_merge() {
    // A read-only batch left by an earlier run must not stop the new one from being written.
    plat_make_writable(MERGE_BATCH);
    if (plat_holds_text(MERGE_BATCH, MERGE_TEXT) || replace_batch())
        return 0;
    // An earlier batch that could not be replaced is not what this run would write; it is
    // removed so that the start fails cleanly, and only one that cannot be removed either is
    // started as it is.
    plat_remove(MERGE_BATCH);
    return -1;
}

void crash_merge() {
    create_merge();
    plat_overlay(MERGE_BATCH);
    plat_exit(0);
}
