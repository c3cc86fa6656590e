// Both ways of starting a child. posix_spawn runs only C library code in the child, which is why
// it suits the sanitizer builds too (their instrumentation never runs there). The fork start keeps
// to async-signal-safe calls between fork and exec, since another thread may hold a lock of the
// C library (the allocator's, stdio's) at the moment of the fork, and reports a failed step
// through a close-on-exec pipe.
#include "fileutils/child_start.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "fileutils/process.h"
#include "platform/process.h"

namespace {

// Held shared by every start, exclusively by HoldForks(): a descriptor opened and closed under
// the exclusive hold is in no child's copy of the descriptor table.
std::shared_mutex forkLock;
std::atomic<bool> forceFork{false};

// Where the fork start's child keeps the write end of its failure pipe when it gets no descriptor
// 3 (the one above, when it does); everything above is closed. The pipe's ends are numbered above
// both, so that no dup2 clobbers them.
constexpr int kFailFd = 3;
constexpr int kFirstFree = 5;

// One past the descriptors the child gets from the setup.
int ChildDescriptors(const ChildStartSetup& setup) {
    return setup.fds[3] >= 0 ? 4 : 3;
}

// ---- posix_spawn -------------------------------------------------------------------------------

// The attributes every child gets: a session of its own, default signal dispositions, an empty
// signal mask. Built once; posix_spawn only reads them.
struct SpawnAttributes {
    posix_spawnattr_t attr;
    bool usable = false;

    SpawnAttributes() {
        if (posix_spawnattr_init(&attr) != 0) return;
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        sigset_t all, none;
        SignalsToReset(all);
        sigemptyset(&none);
        usable = AddSpawnNewSession(flags) == 0 && posix_spawnattr_setflags(&attr, flags) == 0 &&
                 posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
                 posix_spawnattr_setsigmask(&attr, &none) == 0 && FileActionsAvailable();
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }

    // The system has both file actions beyond POSIX that a start needs.
    static bool FileActionsAvailable() {
        posix_spawn_file_actions_t probe;
        if (posix_spawn_file_actions_init(&probe) != 0) return false;
        bool available = AddSpawnChdir(&probe, kFailFd) != ENOSYS &&
                         AddSpawnCloseFrom(&probe, kFailFd) != ENOSYS;
        posix_spawn_file_actions_destroy(&probe);
        return available;
    }
};

const SpawnAttributes& Attributes() {
    static const SpawnAttributes attributes;
    return attributes;
}

int Spawn(const char* path, char* const argv[], const ChildStartSetup& setup, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0) return rc;
    // In this order: the folder's descriptor is among those closed at the end.
    if (setup.dirfd >= 0) rc = AddSpawnChdir(&actions, setup.dirfd);
    const int given = ChildDescriptors(setup);
    for (int i = 0; i < given && rc == 0; i++)
        rc = posix_spawn_file_actions_adddup2(&actions, setup.fds[i], i);
    if (rc == 0) rc = AddSpawnCloseFrom(&actions, given);
    if (rc == 0) {
        std::shared_lock<std::shared_mutex> starting(forkLock);
        rc = posix_spawn(&pid, path, &actions, &Attributes().attr, argv, setup.envp);
    }
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// ---- fork --------------------------------------------------------------------------------------

[[noreturn]] void Fail(int fd, int error) {
    int32_t record = error;
    ssize_t ignored = write(fd, &record, sizeof record);
    (void)ignored;
    _exit(127);
}

// In the child: async-signal-safe calls only.
[[noreturn]] void ForkedChild(const char* path, char* const argv[], const ChildStartSetup& setup,
                              int failFd) {
    // Dispositions the agent set (an ignored SIGPIPE) would otherwise survive the exec.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int sig = 1; sig < NSIG; sig++)
        if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    setsid();
    if (setup.dirfd >= 0 && fchdir(setup.dirfd) != 0) Fail(failFd, errno);
    const int given = ChildDescriptors(setup);
    for (int i = 0; i < given; i++)
        if (dup2(setup.fds[i], i) < 0) Fail(failFd, errno);
    const int failAt = given;  // kFailFd, or the one above descriptor 3
    if (dup2(failFd, failAt) < 0) Fail(failFd, errno);
    fcntl(failAt, F_SETFD, FD_CLOEXEC);
    CloseDescriptorsFrom(failAt + 1, setup.fdLimit);
    execve(path, argv, setup.envp);
    Fail(failAt, errno);
}

// A close-on-exec pipe whose ends are numbered kFirstFree or above (so the child's dup2 onto its
// own descriptors cannot clobber one), or false.
bool FailurePipe(int (&ends)[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    for (int& end : ends) {
        if (end >= kFirstFree) continue;
        int copy = fcntl(end, F_DUPFD_CLOEXEC, kFirstFree);
        close(end);
        end = copy;
    }
    if (ends[0] >= 0 && ends[1] >= 0) return true;
    for (int end : ends)
        if (end >= 0) close(end);
    return false;
}

int Fork(const char* path, char* const argv[], const ChildStartSetup& setup, pid_t& pid) {
    int ends[2];
    if (!FailurePipe(ends)) return errno != 0 ? errno : EMFILE;
    pid_t child;
    int forkError = 0;
    {
        std::shared_lock<std::shared_mutex> starting(forkLock);
        // No signal handler of the agent may run in the child before it resets them.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        child = fork();
        if (child == 0) ForkedChild(path, argv, setup, ends[1]);
        forkError = errno;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        return forkError;
    }
    // The exec closes the pipe; a failed step writes its error number first. Children that other
    // threads start meanwhile may hold the write end too, but only until their own exec.
    int32_t record = 0;
    ssize_t n;
    do n = read(ends[0], &record, sizeof record);
    while (n < 0 && errno == EINTR);
    close(ends[0]);
    if (n == 0) {
        pid = child;
        return 0;
    }
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof record) && record > 0 ? record : EIO;
}

}  // namespace

std::unique_lock<std::shared_mutex> HoldForks() {
    return std::unique_lock<std::shared_mutex>(forkLock);
}

int StartChild(const char* path, char* const argv[], const ChildStartSetup& setup, pid_t& pid) {
    if (!forceFork.load(std::memory_order_relaxed) && Attributes().usable)
        return Spawn(path, argv, setup, pid);
    return Fork(path, argv, setup, pid);
}

void ForceForkStartForTesting(bool force) {
    forceFork = force;
}
