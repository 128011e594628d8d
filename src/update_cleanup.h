// update_cleanup.h - removal of the empty update files that a download leaves in the update
// folder, so that the merge never sees them.
#pragma once

// Deletes every update file of size 0 in \QUARRINE\UPDATES, for the data areas CLC, IDX and
// COT in that order. Never fails and reports nothing; returns 0.
int delete_zero_files();
