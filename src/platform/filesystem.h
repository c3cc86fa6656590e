// File-system facilities whose system calls differ between systems: filesystem_linux.cpp and
// filesystem_freebsd.cpp implement them.
#pragma once

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
