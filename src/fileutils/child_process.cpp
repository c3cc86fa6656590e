// Starting a child program and waiting for it.
//
// The agent has many threads, and any of them may hold a lock of the C library (the allocator's,
// stdio's) at the moment another thread forks; the child would inherit the held lock and hang on
// its first malloc. So everything the child needs (argument vectors, the environment, the PATH
// candidates, the descriptors) is prepared before the fork, and the child makes only
// async-signal-safe calls until the exec. An exec failure travels back through a close-on-exec
// pipe instead of a file, and the child's exit status 255 marks it.
//
// Waiting: every child gets a small detached watcher thread that blocks in waitid() without
// reaping and wakes the caller through a condition variable, so the caller waits with a real
// time-out and learns of the end at once. The caller reaps the child itself; when it stops waiting
// (start-only mode, or a child that cannot be killed) the watcher reaps it, so no zombie stays.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fileutils/process.h"
#include "foundation/blocking_wait.h"
#include "platform/process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Descriptor numbers the child sets up; everything above kFailFd is closed.
constexpr int kFailFd = 3;
constexpr int kExecFailureStatus = 255;
constexpr size_t kWatcherStack = 256 * 1024;
constexpr rlim_t kMaxDescriptorLoop = 1 << 20;
constexpr auto kStartOnlyLook = std::chrono::seconds(1);

std::shared_mutex forkLock;

// What a child that cannot exec writes into the failure pipe.
enum FailStage : int32_t { kStageStreams = 1, kStageWorkdir = 2, kStageExec = 3 };
struct FailRecord {
    int32_t stage;
    int32_t error;
};

// Everything the child reads, built before the fork.
struct ChildPlan {
    char* const* argv = nullptr;
    std::vector<std::string> candidates;  // paths to try execve on, in order
    std::vector<char*> shellArgv;         // "/bin/sh", <candidate>, argv[1..]: for ENOEXEC
    std::vector<std::string> envStore;
    std::vector<char*> envp;
    const char* workdir = nullptr;
    int fds[3] = {-1, -1, -1};  // sources for 0, 1, 2; all above 2
    int failFd = -1;            // write end of the failure pipe
    int fdLimit = 0;
    std::vector<int> owned;  // descriptors opened here, closed after the fork

    ~ChildPlan() {
        for (int fd : owned) close(fd);
    }
};

// ---- In the child: async-signal-safe calls only ------------------------------------------------

[[noreturn]] void Fail(int fd, FailStage stage, int error) {
    FailRecord record{stage, error};
    ssize_t ignored = write(fd, &record, sizeof record);
    (void)ignored;
    _exit(kExecFailureStatus);
}

bool PathSearchGoesOn(int error) {
    return error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV ||
           error == ETIMEDOUT || error == EACCES;
}

[[noreturn]] void ChildMain(ChildPlan& plan) {
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
    for (int i = 0; i < 3; i++)
        if (dup2(plan.fds[i], i) < 0) Fail(plan.failFd, kStageStreams, errno);
    if (plan.failFd != kFailFd && dup2(plan.failFd, kFailFd) < 0)
        Fail(plan.failFd, kStageStreams, errno);
    fcntl(kFailFd, F_SETFD, FD_CLOEXEC);
    CloseDescriptorsFrom(kFailFd + 1, plan.fdLimit);
    if (plan.workdir != nullptr && chdir(plan.workdir) != 0) Fail(kFailFd, kStageWorkdir, errno);

    // The PATH search of execvp, without its allocations.
    int error = ENOENT;
    bool deniedOnce = false;
    for (const std::string& candidate : plan.candidates) {
        execve(candidate.c_str(), plan.argv, plan.envp.data());
        error = errno;
        if (error == ENOEXEC) {
            plan.shellArgv[1] = const_cast<char*>(candidate.c_str());
            execve(plan.shellArgv[0], plan.shellArgv.data(), plan.envp.data());
            error = errno;
        }
        if (error == EACCES) deniedOnce = true;
        if (!PathSearchGoesOn(error)) break;
    }
    if (deniedOnce && PathSearchGoesOn(error)) error = EACCES;
    Fail(kFailFd, kStageExec, error);
}

// ---- Preparation in the parent -----------------------------------------------------------------

// A close-on-exec copy of fd numbered 3 or above, so the child's dup2 onto 0..2 cannot clobber
// a source it still needs.
bool AboveStdio(int& fd, ChildPlan& plan) {
    if (fd > 2) return true;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return false;
    plan.owned.push_back(copy);
    fd = copy;
    return true;
}

// Takes ownership of fd (closed with the plan) and moves it above 2; -1 when that fails.
int OwnAboveStdio(int fd, ChildPlan& plan) {
    if (fd <= 2) {
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = copy;
    }
    if (fd >= 0) plan.owned.push_back(fd);
    return fd;
}

void CloseOwned(int fd, ChildPlan& plan) {
    for (auto it = plan.owned.begin(); it != plan.owned.end(); ++it) {
        if (*it == fd) {
            plan.owned.erase(it);
            close(fd);
            return;
        }
    }
}

void FindCandidates(const char* file, ChildPlan& plan) {
    if (std::strchr(file, '/') != nullptr) {
        plan.candidates.emplace_back(file);
        return;
    }
    std::string search;
    if (const char* path = std::getenv("PATH")) {
        search = path;
    } else {
        char standard[256];
        size_t n = confstr(_CS_PATH, standard, sizeof standard);
        search = n > 0 && n <= sizeof standard ? standard : "/bin:/usr/bin";
    }
    size_t from = 0;
    for (;;) {
        size_t colon = search.find(':', from);
        std::string dir = search.substr(from, colon == std::string::npos ? colon : colon - from);
        plan.candidates.push_back(dir.empty() ? std::string(file) : dir + "/" + file);
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
}

void BuildEnvironment(const char* tmpdir, ChildPlan& plan) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        if (tmpdir != nullptr && std::strncmp(*entry, "TMPDIR=", 7) == 0) continue;
        plan.envStore.emplace_back(*entry);
    }
    if (tmpdir != nullptr) plan.envStore.push_back(std::string("TMPDIR=") + tmpdir);
    for (std::string& entry : plan.envStore) plan.envp.push_back(entry.data());
    plan.envp.push_back(nullptr);
}

bool Prepare(char* const argv[], const TChildSetup& setup, ChildPlan& plan, String& message) {
    plan.argv = argv;
    plan.workdir = setup.workdir;
    if (argv[0][0] == '\0') {
        message = String("exec error: ") + std::strerror(ENOENT);
        return false;
    }
    FindCandidates(argv[0], plan);
    plan.shellArgv.push_back(const_cast<char*>("/bin/sh"));
    plan.shellArgv.push_back(nullptr);
    for (int i = 1; argv[i] != nullptr; i++) plan.shellArgv.push_back(argv[i]);
    plan.shellArgv.push_back(nullptr);
    BuildEnvironment(setup.tmpdir, plan);

    rlimit limit{};
    plan.fdLimit = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kMaxDescriptorLoop
                       ? static_cast<int>(limit.rlim_cur)
                       : static_cast<int>(kMaxDescriptorLoop);

    const int given[3] = {setup.in, setup.out, setup.err};
    int devnull = -1;
    for (int i = 0; i < 3; i++) {
        int fd = given[i];
        if (fd < 0) {
            if (devnull < 0) {
                devnull = open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY);
                if (devnull < 0) {
                    message = String("cannot open /dev/null: ") + std::strerror(errno);
                    return false;
                }
                plan.owned.push_back(devnull);
            }
            fd = devnull;
        }
        if (!AboveStdio(fd, plan)) {
            message = "fork error";
            return false;
        }
        plan.fds[i] = fd;
    }
    return true;
}

// ---- Watching and waiting ----------------------------------------------------------------------

struct ChildWatch {
    std::mutex mutex;
    std::condition_variable changed;
    pid_t pid = 0;           // 0 until the fork; -1 when there is no child
    bool ended = false;      // the child has ended (it may not be reaped yet)
    bool abandoned = false;  // nobody waits any more: the watcher reaps
};

bool Reap(pid_t pid, int& status) {
    pid_t r;
    do r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    return r == pid;
}

void* WatchChild(void* arg) {
    std::unique_ptr<std::shared_ptr<ChildWatch>> handle(
        static_cast<std::shared_ptr<ChildWatch>*>(arg));
    ChildWatch& watch = **handle;
    pid_t pid;
    {
        std::unique_lock<std::mutex> lock(watch.mutex);
        watch.changed.wait(lock, [&] { return watch.pid != 0; });
        pid = watch.pid;
    }
    if (pid < 0) return nullptr;
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    bool reap;
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.ended = true;
        reap = watch.abandoned;
    }
    watch.changed.notify_all();
    int status;
    if (reap) Reap(pid, status);
    return nullptr;
}

bool StartWatcher(const std::shared_ptr<ChildWatch>& watch) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kWatcherStack);
    auto* handle = new std::shared_ptr<ChildWatch>(watch);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, WatchChild, handle);
    pthread_attr_destroy(&attr);
    if (rc != 0) delete handle;
    return rc == 0;
}

void SetPid(ChildWatch& watch, pid_t pid) {
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.pid = pid;
    }
    watch.changed.notify_all();
}

// The failure record of a child that has ended, if it left one. The read end is non-blocking:
// a child of another thread that has not yet reached its exec may still hold a copy of the write
// end, but our own child wrote everything before it ended.
bool ReadFailure(int fd, FailRecord& record, bool& partial) {
    ssize_t n;
    do n = read(fd, &record, sizeof record);
    while (n < 0 && errno == EINTR);
    partial = n > 0 && n < static_cast<ssize_t>(sizeof record);
    return n == static_cast<ssize_t>(sizeof record);
}

String FailureMessage(const FailRecord& record) {
    String text("exec error: ");
    if (record.stage == kStageWorkdir) text += "cannot change to the working folder: ";
    if (record.stage == kStageStreams) text += "cannot redirect the standard streams: ";
    return text + std::strerror(record.error);
}

ChildEnd Judge(int status, bool killed, int failFd, bool startOnly, int& exitcode,
               String& message) {
    if (WIFSIGNALED(status)) {
        message = "abnormal termination";
        return killed ? ChildEnd::KilledAtLimit : ChildEnd::Signalled;
    }
    if (WEXITSTATUS(status) == kExecFailureStatus) {
        FailRecord record{};
        bool partial = false;
        if (ReadFailure(failFd, record, partial) || partial) {
            message = startOnly || partial ? String("exec error") : FailureMessage(record);
            return ChildEnd::NotStarted;
        }
    }
    exitcode = WEXITSTATUS(status);
    return ChildEnd::Exited;
}

ChildEnd AwaitStartOnly(ChildWatch& watch, pid_t pid, int failFd, int& exitcode, String& message) {
    exitcode = 0;
    {
        BlockingWait look;
        std::this_thread::sleep_for(kStartOnlyLook);
    }
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        if (!watch.ended) {
            watch.abandoned = true;
            return ChildEnd::StillRunning;
        }
    }
    int status = 0;
    if (!Reap(pid, status)) {
        message = "abnormal termination";
        return ChildEnd::Signalled;
    }
    return Judge(status, false, failFd, true, exitcode, message);
}

ChildEnd AwaitEnd(ChildWatch& watch, pid_t pid, int timeout, Clock::time_point start, int failFd,
                  int& exitcode, String& message) {
    bool killed = false;
    {
        BlockingWait program;
        std::unique_lock<std::mutex> lock(watch.mutex);
        auto ended = [&] { return watch.ended; };
        if (timeout == kNoLimit) {
            watch.changed.wait(lock, ended);
        } else {
            auto deadline = start + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
            if (!watch.changed.wait_until(lock, deadline, ended)) {
                // The child is not reaped yet, so its process ID (and group ID) cannot have been
                // given to another process.
                if (kill(-pid, SIGKILL) != 0 && kill(pid, SIGKILL) != 0) {
                    watch.abandoned = true;
                    message = "cannot terminate process";
                    return ChildEnd::CannotTerminate;
                }
                killed = true;
                watch.changed.wait(lock, ended);
            }
        }
    }
    int status = 0;
    if (!Reap(pid, status)) {
        message = "abnormal termination";
        return ChildEnd::Signalled;
    }
    return Judge(status, killed, failFd, false, exitcode, message);
}

}  // namespace

std::unique_lock<std::shared_mutex> HoldForks() {
    return std::unique_lock<std::shared_mutex>(forkLock);
}

ChildEnd RunProgram(char* const argv[], const TChildSetup& setup, int timeout, int& exitcode,
                    String& message) {
    message = "";
    ChildPlan plan;
    if (!Prepare(argv, setup, plan, message)) return ChildEnd::NotStarted;

    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC | O_NONBLOCK) != 0) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    const int failRead = OwnAboveStdio(pipefd[0], plan);
    const int failWrite = OwnAboveStdio(pipefd[1], plan);
    if (failRead < 0 || failWrite < 0) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    plan.failFd = failWrite;

    auto watch = std::make_shared<ChildWatch>();
    if (!StartWatcher(watch)) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }

    pid_t pid;
    {
        std::shared_lock<std::shared_mutex> forking(forkLock);
        // No signal handler of the agent may run in the child before it resets them.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pid = fork();
        if (pid == 0) ChildMain(plan);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    const Clock::time_point start = Clock::now();
    SetPid(*watch, pid < 0 ? -1 : pid);
    if (pid < 0) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    // Our copy of the write end goes; the child writes through its own.
    CloseOwned(failWrite, plan);

    if (timeout == kStartOnly) return AwaitStartOnly(*watch, pid, failRead, exitcode, message);
    return AwaitEnd(*watch, pid, timeout, start, failRead, exitcode, message);
}
