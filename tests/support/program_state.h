// program_state.h - puts the program-wide state back to its start values, so that one process
// can run the stages many times (fault injection, fuzzing) as if each run were a new process.
#pragma once

void reset_program_state();
