// wine_runner.h - runs the Windows build of the program under Wine for the sandbox: one private
// Wine prefix and server for the whole test run, the sandbox drive mapped to a drive letter.
#pragma once

#include "sandbox.h"

#include <filesystem>
#include <string>
#include <vector>

// The drive letter that stands for the sandbox drive during a run.
constexpr const char* WINE_SANDBOX_DRIVE = "Q:";

// Copies the Windows stand-ins TELVOX.EXE and HALTBOX.EXE into a sandbox's bin folder.
void wine_install_standins(const std::filesystem::path& bin);

// Runs a Windows program (exe, a Linux path) with the current folder at <drive>\QUARRINE and
// waits until it and every program it started have ended. The text files the program wrote and the
// console come back with LF line ends, after checking that the program wrote CR-LF; the call log's
// lines of programs that ran side by side (the merge batch's STARTs) are put in sorted order.
RunResult wine_run(const std::filesystem::path& top, const std::filesystem::path& drive,
                   const std::vector<std::string>& args, const std::string& exe);
