// stage_main.cpp - runs one housekeeping stage of the program on its own, on the real file
// system, so that the benchmark can time it against the tools a user would reach for; and lists
// the data areas that the clean-up takes, one a line, for the benchmark's own list to be held to.
#include "logweb_check.h"
#include "system_msg.h"
#include "update_cleanup.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const char* stage = argc > 1 ? argv[1] : "";
    if (std::strcmp(stage, "relay") == 0)
        return process_system_msg();
    if (std::strcmp(stage, "logweb") == 0)
        return check_logweb();
    if (std::strcmp(stage, "cleanup") == 0)
        return delete_zero_files();
    if (std::strcmp(stage, "areas") == 0) {
        for (std::size_t i = 0; const char* ext = update_area(i); ++i)
            std::puts(ext);
        return 0;
    }
    std::fputs("usage: zelmorth_stage relay|logweb|cleanup|areas\n", stderr);
    return 2;
}
