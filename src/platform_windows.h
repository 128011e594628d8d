// platform_windows.h - inside the Windows platform, for its own tests: which failures of a file
// operation come from another program, so that the operation waits and tries again, and how a
// file is marked for deletion.
#pragma once

#include <windows.h>

// Whether a failure, given by its error (GetLastError) and the attributes of the file at the
// path right after it (GetFileAttributesA), comes from another program for now: a hold that
// shares too little, a lock, or access denied on anything but a read-only file or a folder. A
// deletion still pending (another program deleted the file while someone held it, and it goes
// when the last holder lets go) is refused with access denied like a file that may not be
// opened, and its name cannot even be asked for its attributes; a denial that lasts costs the
// wait, and fails after it.
bool held_failure(unsigned long error, unsigned long attributes);

// Marks the file open at h, with DELETE access, for deletion when h is closed. With posix_first
// the name goes at that close even while other programs still have the file open (Windows 10
// and later, on NTFS); where the system or the file system does not take that, and without
// posix_first, the name goes only once the last handle to the file is closed.
bool mark_for_deletion(HANDLE h, bool posix_first);
