// abort.cpp - crash and crash_merge, and the four-line merge batch that lets the main updater
// merge even when this program cannot finish its own work.
#include "abort.h"

#include "notices.h"
#include "platform.h"

namespace {

constexpr const char* MERGE_LINES[] = {
    "@ECHO OFF\n",
    "START TELVOX /M\n",
    "START HALTBOX \"Finished_-_Zelmorth\" 1000\n",
    "START HALTBOX \"Finished_-_Merge\" 1000\n",
};

} // namespace

void crash(const char* message) {
    ask_msg(message);
    plat_exit(0);
}

int create_merge() {
    // A read-only batch left by an earlier run must not stop the new one from being written.
    plat_make_writable(MERGE_BATCH);
    plat_remove(MERGE_BATCH);
    PlatFile* file = plat_open(MERGE_BATCH, OpenMode::write);
    if (file == nullptr)
        return -1;
    bool ok = true;
    for (const char* line : MERGE_LINES)
        ok = plat_write_text(file, line) && ok;
    ok = plat_close(file) && ok;
    if (!ok) {
        // A batch cut short (a full disk) would run only part of its commands; remove it so
        // that the start fails cleanly instead.
        plat_remove(MERGE_BATCH);
        return -1;
    }
    return 0;
}

void crash_merge() {
    create_merge();
    plat_overlay(MERGE_BATCH);
    plat_exit(0);
}
