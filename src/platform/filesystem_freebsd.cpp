#if defined(__FreeBSD__)

// sys/param.h must come first; the blank line keeps the formatter from sorting it after.
#include <sys/param.h>

#include <sys/mount.h>

#include <cerrno>

#include "platform/filesystem.h"

int GetFileSystemUsage(const char* path, TFileSystemUsage& usage) {
    struct statfs info;
    if (statfs(path, &info) != 0) return errno;
    // f_bsize is the fragment size the block counts are given in; f_bavail is signed and goes
    // below zero once the superuser uses the reserve.
    const double fragment = static_cast<double>(info.f_bsize);
    usage.total = static_cast<double>(info.f_blocks) * fragment;
    usage.free = static_cast<double>(info.f_bfree) * fragment;
    usage.available = static_cast<double>(info.f_bavail) * fragment;
    return 0;
}

#endif
