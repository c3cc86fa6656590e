#if defined(__linux__)

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/cpu_time.h"

int ReadCpuTimes(TCpuTimes& times) {
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    // The first line sums every processor: "cpu" and the ticks spent in user, nice, system, idle,
    // iowait, irq, softirq, steal, guest and guest_nice. Guest time is inside user and nice.
    char text[512];
    ssize_t got = read(fd, text, sizeof text - 1);
    int error = errno;
    close(fd);
    if (got < 0) return error;
    text[got] = '\0';
    if (std::strncmp(text, "cpu ", 4) != 0) return EBADMSG;
    constexpr int kIdle = 3, kIowait = 4, kCounted = 8;
    TCpuTimes sample;
    const char* p = text + 4;
    int fields = 0;
    for (; fields < kCounted; fields++) {
        while (*p == ' ') p++;
        if (*p < '0' || *p > '9') break;
        char* end = nullptr;
        errno = 0;
        unsigned long long ticks = std::strtoull(p, &end, 10);
        if (errno != 0) return EBADMSG;
        p = end;
        sample.total += ticks;
        if (fields == kIdle || fields == kIowait) sample.idle += ticks;
    }
    if (fields <= kIdle) return EBADMSG;  // older kernels give fewer fields, never fewer than four
    times = sample;
    return 0;
}

#endif
