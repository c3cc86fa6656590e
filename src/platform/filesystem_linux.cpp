#if defined(__linux__)

#include <sys/vfs.h>

#include <cerrno>

#include "platform/filesystem.h"

int GetFileSystemUsage(const char* path, TFileSystemUsage& usage) {
    struct statfs info;
    if (statfs(path, &info) != 0) return errno;
    // Block counts are in units of the fragment size; f_bsize is only the preferred I/O size.
    const double fragment = static_cast<double>(info.f_frsize ? info.f_frsize : info.f_bsize);
    usage.total = static_cast<double>(info.f_blocks) * fragment;
    usage.free = static_cast<double>(info.f_bfree) * fragment;
    usage.available = static_cast<double>(info.f_bavail) * fragment;
    return 0;
}

#endif
