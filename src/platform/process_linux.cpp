#if defined(__linux__)

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "platform/process.h"

// glibc has the file actions since 2.29 (fchdir) and 2.34 (closefrom); other C libraries on Linux
// may lack them.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define QDX_SPAWN_ACTIONS 1
#endif

int AddSpawnChdir(posix_spawn_file_actions_t* actions, int dirfd) {
#if defined(QDX_SPAWN_ACTIONS)
    return posix_spawn_file_actions_addfchdir_np(actions, dirfd);
#else
    return ENOSYS;
#endif
}

int AddSpawnCloseFrom(posix_spawn_file_actions_t* actions, int lowest) {
#if defined(QDX_SPAWN_ACTIONS)
    return posix_spawn_file_actions_addclosefrom_np(actions, lowest);
#else
    return ENOSYS;
#endif
}

int AddSpawnNewSession(short& flags) {
#if defined(POSIX_SPAWN_SETSID)
    flags = static_cast<short>(flags | POSIX_SPAWN_SETSID);
    return 0;
#else
    return ENOSYS;
#endif
}

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
