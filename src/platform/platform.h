// The few system calls whose form differs between the systems the agent runs on, behind narrow
// functions. Where the form differs, each system has its implementation in its own folder
// (linux/, freebsd/) under the same file name; this folder is the only place that tests which
// system it is built for.
#pragma once

#include "foundation/string.h"

// Sizes of a mounted file system, in bytes.
struct TFileSystemUsage {
    double total = 0;  // every block of the file system
    double free = 0;   // free blocks, those reserved for the superuser included
    // Free blocks an unprivileged user may fill; negative where the system reports the superuser
    // eating into the reserve.
    double available = 0;
};

// Fills `usage` for the file system that holds `path` (any file or directory on it). Returns 0, or
// the system's error number when the file system cannot be examined.
int GetFileSystemUsage(const char* path, TFileSystemUsage& usage);

// The system's text for an error number; empty when the system has none to give.
String SystemErrorText(int error);
