// Process facilities that differ between systems: the steps beyond POSIX that posix_spawn offers
// for starting a child, and closing a range of descriptors in a child started with fork.
//
// What each system uses to start a program with posix_spawn (see fileutils/child_start.cpp):
// - Linux with glibc 2.34 or later: posix_spawn_file_actions_addfchdir_np,
//   posix_spawn_file_actions_addclosefrom_np and POSIX_SPAWN_SETSID. glibc starts the child with
//   clone(CLONE_VM | CLONE_VFORK): the agent's address space is not copied.
// - FreeBSD 13.1 or later: posix_spawn_file_actions_addfchdir_np and
//   posix_spawn_file_actions_addclosefrom_np, and POSIX_SPAWN_SETSID where <spawn.h> defines it.
//   libc starts the child with vfork.
// - Anything older lacks one of these steps: the Add* functions below (spawn_actions.cpp) answer
//   ENOSYS and the agent starts its children with fork instead.
#pragma once

#include <signal.h>
#include <spawn.h>

// Adds to `actions` a change into the folder open as `dirfd`. 0, posix_spawn's error number, or
// ENOSYS when the system has no such action.
int AddSpawnChdir(posix_spawn_file_actions_t* actions, int dirfd);
// Adds to `actions` the closing of every descriptor numbered `lowest` or above; errors as above.
int AddSpawnCloseFrom(posix_spawn_file_actions_t* actions, int lowest);
// Adds to `flags` the posix_spawn flag that starts the child in a session of its own; ENOSYS when
// the system has none.
int AddSpawnNewSession(short& flags);

// Every signal a spawned child must find at its default disposition, for
// posix_spawnattr_setsigdefault. On Linux that includes the two signals glibc keeps for itself
// (32 and 33), which sigfillset leaves out and its posix_spawn would otherwise leave ignored; on
// FreeBSD it leaves out those that sigaction refuses to change.
void SignalsToReset(sigset_t& set);

// Closes every descriptor numbered `lowest` or above, in a child between fork and exec (async-
// signal-safe). `limit` is one past the highest descriptor the process may hold (from getrlimit,
// taken before the fork); it bounds the plain loop used where the system has no call that closes
// a whole range.
void CloseDescriptorsFrom(int lowest, int limit);
