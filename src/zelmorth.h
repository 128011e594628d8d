// zelmorth.h - the run sequence: every stage in its fixed order, then the main updater.
#pragma once

// Runs the whole program and ends the process; main only calls this.
[[noreturn]] void run_sequence();
