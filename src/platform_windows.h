// platform_windows.h - inside the Windows platform, for its own tests: which failures of a file
// operation come from another program, so that the operation waits and tries again.
#pragma once

// The system's own status of the calling thread's last failed call (RtlGetLastNtStatus); 0
// where the system has none to give.
long last_nt_status();

// Whether a failure, given by its error (GetLastError) and its status, comes from another
// program for now: a hold that shares too little, a lock, or a deletion still pending (another
// program deleted the file while someone held it, and it goes when the last holder lets go),
// which Windows refuses with ERROR_ACCESS_DENIED just like a file that may not be opened.
bool held_failure(unsigned long error, long status);
