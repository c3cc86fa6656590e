#if defined(__linux__)

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/mount_table.h"

namespace {

// Far more than any host's table (about 150 bytes a mount); a table beyond it is not read.
constexpr size_t kMostTableBytes = 64u << 20;

int OpenTable() {
    return open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
}

}  // namespace

TMountTableReader::TMountTableReader() : fd_(OpenTable()) {}

TMountTableReader::~TMountTableReader() {
    if (fd_ >= 0) close(fd_);
}

int TMountTableReader::RereadMilliseconds() {
    return 100;
}

bool TMountTableReader::Changed() {
    if (!readOnce_ || fd_ < 0) return true;
    // The kernel flags the open table with POLLPRI (and POLLERR) after every change of the mounts,
    // until it is read again from the start.
    pollfd table{fd_, POLLPRI, 0};
    return poll(&table, 1, 0) > 0 && (table.revents & (POLLPRI | POLLERR)) != 0;
}

int TMountTableReader::Read(std::vector<TMountRecord>& records) {
    if (fd_ < 0) fd_ = OpenTable();
    if (fd_ < 0) return errno;
    std::string text;
    size_t used = 0;
    text.resize(64 * 1024);
    for (;;) {
        if (used == text.size()) {
            if (text.size() >= kMostTableBytes) return EFBIG;
            text.resize(text.size() * 2);
        }
        // The table is generated as it is read; reading it from the start also clears the change.
        ssize_t got = pread(fd_, text.data() + used, text.size() - used, static_cast<off_t>(used));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    readOnce_ = true;
    ParseMountInfo(std::string_view(text.data(), used), records);
    return 0;
}

#endif
