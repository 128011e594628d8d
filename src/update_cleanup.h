// update_cleanup.h - removal of the empty update files that a download leaves in the update
// folder, so that the merge never sees them.
#pragma once

#include <cstddef>

// Deletes every update file of size 0 in \QUARRINE\UPDATES, area by area in the order of
// update_area. Never fails and reports nothing; returns 0.
int delete_zero_files();

// The extension of the i-th data area, such as "CLC", or a null pointer past the last: for the
// benchmark, whose clean-up must take the same files.
const char* update_area(std::size_t i);
