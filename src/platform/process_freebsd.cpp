#if defined(__FreeBSD__)

#include <errno.h>
#include <sys/param.h>
#include <unistd.h>

#include "platform/process.h"

// The fchdir and closefrom file actions came with FreeBSD 13.1.
#if __FreeBSD_version >= 1301000
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
    sigfillset(&set);
}

void CloseDescriptorsFrom(int lowest, int) {
    closefrom(lowest);
}

#endif
