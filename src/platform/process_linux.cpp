#if defined(__linux__)

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "platform/process.h"

void SignalsToReset(sigset_t& set) {
    // Every bit: glibc's sigaddset refuses its own signals, but its posix_spawn reads the bits.
    std::memset(&set, 0xff, sizeof set);
}

void CloseDescriptorsFrom(int lowest, int limit) {
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0U) == 0) return;
#endif
    // Kernels before 5.9 lack close_range.
    for (int fd = lowest; fd < limit; fd++) close(fd);
}

#endif
