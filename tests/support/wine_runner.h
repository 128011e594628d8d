// wine_runner.h - runs the Windows build of the program under Wine for the sandbox: one private
// Wine prefix and server for the whole test run, the sandbox drive mapped to a drive letter.
#pragma once

#include "sandbox.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

// The drive letter that stands for the sandbox drive during a run.
constexpr const char* WINE_SANDBOX_DRIVE = "Q:";

// Copies the Windows stand-ins TELVOX.EXE and HALTBOX.EXE into a sandbox's bin folder.
void wine_install_standins(const std::filesystem::path& bin);

// Runs count copies of a Windows program (exe, a Linux path) at once, with the current folder at
// <drive>\QUARRINE, and waits until they and every program they started have ended. The text
// files they wrote and the console come back with LF line ends, after checking that the programs
// wrote CR-LF; the call log's lines of programs that ran side by side (the merge batch's STARTs,
// or the runs themselves) are put in sorted order. With full_output the console is /dev/full.
std::vector<RunResult> wine_run(const std::filesystem::path& top,
                                const std::filesystem::path& drive,
                                const std::vector<std::string>& args, const std::string& exe,
                                int count, bool full_output);

// A Windows stand-in that holds a file open without sharing it.
struct WineHold {
    pid_t pid = -1;
    std::filesystem::path release; // made to tell it to let go
};

// Starts the holder on file and returns once it holds the file. It lets go after hold_ms
// milliseconds or, with hold_ms 0, when wine_let_go tells it to.
WineHold wine_hold(const std::filesystem::path& top, const std::filesystem::path& file,
                   int hold_ms);
// Tells the holder to let go, if it still holds the file, and waits for it to end.
void wine_let_go(WineHold& hold);
