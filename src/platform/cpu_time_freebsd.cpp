// Built on FreeBSD only; this file is not compiled on the systems CI runs on.
#if defined(__FreeBSD__)

// sys/param.h must come first; the blank line keeps the formatter from sorting it after.
#include <sys/param.h>

#include <sys/resource.h>
#include <sys/sysctl.h>

#include <cerrno>

#include "platform/cpu_time.h"

int ReadCpuTimes(TCpuTimes& times) {
    // Ticks of all processors in user, nice, system, interrupt and idle (CPUSTATES of them).
    long ticks[CPUSTATES];
    size_t size = sizeof ticks;
    if (sysctlbyname("kern.cp_time", ticks, &size, nullptr, 0) != 0) return errno;
    if (size != sizeof ticks) return EBADMSG;
    TCpuTimes sample;
    for (long count : ticks) sample.total += static_cast<unsigned long long>(count);
    sample.idle = static_cast<unsigned long long>(ticks[CP_IDLE]);
    times = sample;
    return 0;
}

#endif
