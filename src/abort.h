// abort.h - the two ways a stage ends the run early: a plain stop, or a hand-over to the
// merge batch so that the merge still happens.
#pragma once

// The merge batch, written and started in place of the process by crash_merge.
constexpr char MERGE_BATCH[] = "\\QUARRINE\\merge.bat";

// Appends a notice for message and ends the process with status 0.
[[noreturn]] void crash(const char* message);

// Makes the merge batch hold its four lines; 0 when it does (written now, or already), -1 when
// it could not be written whole.
int create_merge();

// Writes the merge batch and starts it in place of the process; status 0 if it cannot start.
[[noreturn]] void crash_merge();
