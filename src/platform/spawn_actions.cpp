// The posix_spawn steps beyond POSIX, where the C library has them: glibc 2.34 and later, FreeBSD
// 13.1 and later (see platform/process.h).
#if defined(__FreeBSD__)
#include <sys/param.h>
#endif

#include <errno.h>

#include "platform/process.h"

#if (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))) || \
    (defined(__FreeBSD__) && __FreeBSD_version >= 1301000)
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
