// Starting one child program: with posix_spawn, which starts it without copying the agent's
// address space, where the system offers every step the agent needs (platform/process.h); with
// fork elsewhere. Used by the program runner (child_process.cpp) only.
#pragma once

#include <sys/types.h>

// What the child gets besides its program and arguments, all of it prepared before the start.
struct ChildStartSetup {
    char* const* envp = nullptr;
    // Sources of standard input, output and error, and of descriptor 3 (-1: the child has none),
    // all numbered above 3.
    int fds[4] = {-1, -1, -1, -1};
    int dirfd = -1;   // folder to enter, opened with kOpenToEnter (above 2); -1: unchanged
    int fdLimit = 0;  // one past the highest descriptor (for the fork start's close loop)
};

// Starts the program file `path` (no search along PATH, no shell) with `argv` and setup.envp, in
// a session of its own, with every signal at its default disposition and none blocked, the given
// standard streams and folder, and no other descriptor of the agent. Returns 0 with `pid` set, or
// the error number of the step that failed: then nothing runs and no zombie is left. Threads
// holding HoldForks() are waited for.
int StartChild(const char* path, char* const argv[], const ChildStartSetup& setup, pid_t& pid);

// Makes StartChild use fork even where posix_spawn would do, so tests reach that start too.
void ForceForkStartForTesting(bool force);
