// platform.cpp - the operation table in force and the few wrappers that add a rule of their
// own (flush the console before another program runs or the process ends).
#include "platform.h"

#include <cstdlib>
#include <cstring>

PlatformOps plat = native_platform;

unsigned long long append_lock_wait_left_ms = APPEND_LOCK_WAIT_MS;

void spend_append_lock_wait(unsigned long long waited_ms) {
    append_lock_wait_left_ms -=
        waited_ms < append_lock_wait_left_ms ? waited_ms : append_lock_wait_left_ms;
}

bool plat_write_text(PlatFile* f, const char* text) {
    return plat.write(f, text, std::strlen(text));
}

int plat_run_command(const char* command) {
    plat.console_flush();
    return plat.run_command(command);
}

void plat_overlay(const char* path) {
    plat.console_flush();
    plat.overlay(path);
}

void plat_exit(int status) {
    plat.console_flush();
    plat.exit_process(status);
    std::abort(); // exit_process does not return; this only tells the compiler so
}
