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

// Writes the four lines: as a replacement, in place of whatever stood at the batch's name, in
// one step at the close, so that there is never a moment without a whole batch; or as a plain
// write of the name. false when they did not all land. A replacement that fails leaves the name
// as it was; a plain write that fails leaves part of a batch, which is removed, since no batch
// is better than a broken one.
bool write_batch(OpenMode mode) {
    PlatFile* file = plat_open(MERGE_BATCH, mode);
    if (file == nullptr)
        return false;
    bool ok = plat_write_text(file, MERGE_TEXT);
    ok = plat_close(file) && ok;
    if (!ok && mode == OpenMode::write)
        plat_remove(MERGE_BATCH);
    return ok;
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
    if (plat_holds_text(MERGE_BATCH, MERGE_TEXT) || write_batch(OpenMode::replace))
        return 0;
    // The replacement could not be made (its new file could not be created beside the batch,
    // or could not take the name, as on a FAT drive while another program has the batch open
    // even just to look at it): the four lines are written over the old batch in place, which
    // such a handle does not stop, so that the merge still runs. Where that is refused too (a
    // hidden or system batch on Windows), the old batch is deleted and the four lines are
    // written at its name. Only when that fails too is there no new batch; one that could be
    // neither deleted nor written over is started as it is.
    if (write_batch(OpenMode::write))
        return 0;
    plat_remove(MERGE_BATCH);
    return write_batch(OpenMode::write) ? 0 : -1;
}

void crash_merge() {
    create_merge();
    plat_overlay(MERGE_BATCH);
    plat_exit(0);
}
