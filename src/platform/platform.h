// The few system calls whose form differs between the systems the agent runs on, behind narrow
// functions. Each system has its implementation in its own folder (linux/, freebsd/), under the
// same file names; this folder is the only place that tests which system it is built for.
#pragma once

// Sizes of a mounted file system, in bytes.
struct TFileSystemUsage {
    double total = 0;  // every block of the file system
    double free = 0;   // free blocks, those reserved for the superuser included
    double available =
        0;  // free blocks an unprivileged user may fill; negative when the
            // superuser has already eaten into the reserve (where the system says so)
};

// Fills `usage` for the file system that holds `path` (any file or directory on it). Returns 0, or
// the system's error number when the file system cannot be examined.
int GetFileSystemUsage(const char* path, TFileSystemUsage& usage);
