#include "config/config_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace configfs {
namespace {

std::atomic<FaultHook> faultHook{nullptr};

bool Injected(const char* operation) {
    FaultHook hook = faultHook.load(std::memory_order_acquire);
    if (hook == nullptr || !hook(operation)) return false;
    errno = EIO;
    return true;
}

}  // namespace

int Open(const char* path, int flags, mode_t mode) {
    if (Injected("open")) return -1;
    int fd;
    do fd = ::open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t Write(int fd, const void* data, size_t count) {
    if (Injected("write")) return -1;
    return ::write(fd, data, count);
}

int Fsync(int fd) {
    return Injected("fsync") ? -1 : ::fsync(fd);
}

int Close(int fd) {
    int rc = ::close(fd);
    return Injected("close") ? -1 : rc;
}

int Link(const char* from, const char* to) {
    return Injected("link") ? -1 : ::link(from, to);
}

int Rename(const char* from, const char* to) {
    return Injected("rename") ? -1 : ::rename(from, to);
}

void SetFaultHook(FaultHook hook) {
    faultHook.store(hook, std::memory_order_release);
}

}  // namespace configfs
