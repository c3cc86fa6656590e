// Starting a child program and waiting for it.
//
// Everything the child needs (argument vectors, the environment, the PATH candidates, the
// descriptors, the working folder) is prepared before the start, which child_start.cpp carries
// out; a failed start is known when StartChild returns, with its error number.
//
// Waiting: every child gets a small detached watcher thread that blocks in waitid() without
// reaping and wakes the caller through a condition variable, so the caller waits with a real
// time-out and learns of the end at once. The caller reaps the child itself; when it stops waiting
// (start-only mode, or a child that cannot be killed) the watcher reaps it, so no zombie stays.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fileutils/child_start.h"
#include "fileutils/process.h"
#include "foundation/blocking_wait.h"
#include "platform/open_flags.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kWatcherStack = 256 * 1024;
constexpr rlim_t kMaxDescriptorLoop = 1 << 20;
constexpr auto kStartOnlyLook = std::chrono::seconds(1);
constexpr const char* kShell = "/bin/sh";

// Everything the start reads, built beforehand.
struct ChildPlan {
    char* const* argv = nullptr;
    std::vector<std::string> candidates;  // program files to start, in order
    std::vector<char*> shellArgv;         // "/bin/sh", <candidate>, argv[1..]: for ENOEXEC
    std::vector<std::string> envStore;
    std::vector<char*> envp;
    ChildStartSetup start;
    std::vector<int> owned;  // descriptors opened here, closed with the plan

    ChildPlan() = default;
    ChildPlan(const ChildPlan&) = delete;
    ChildPlan& operator=(const ChildPlan&) = delete;
    ~ChildPlan() {
        for (int fd : owned) close(fd);
    }
};

// Errors after which execvp goes on with the next candidate along PATH.
bool PathSearchGoesOn(int error) {
    return error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV ||
           error == ETIMEDOUT || error == EACCES;
}

// ---- Preparation -------------------------------------------------------------------------------

// Takes ownership of fd (closed with the plan) and moves it above 2, so the child's dup2 onto
// 0..2 cannot clobber a source it still needs; -1 when that fails.
int OwnAboveStdio(int fd, ChildPlan& plan) {
    if (fd >= 0 && fd <= 2) {
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = copy;
    }
    if (fd >= 0) plan.owned.push_back(fd);
    return fd;
}

// A close-on-exec copy of the caller's fd numbered above the child's descriptors 0 to 3, when it
// is not already.
bool AboveStdio(int& fd, ChildPlan& plan) {
    if (fd > 3) return true;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 4);
    if (copy < 0) return false;
    plan.owned.push_back(copy);
    fd = copy;
    return true;
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

// True when `entry` ("NAME=value") sets the variable that `assignment` ("NAME=...") sets.
bool SameVariable(const char* entry, const char* assignment) {
    const char* equals = std::strchr(assignment, '=');
    size_t name = equals != nullptr ? static_cast<size_t>(equals - assignment) + 1 : 0;
    return name > 0 && std::strncmp(entry, assignment, name) == 0;
}

void BuildEnvironment(const TChildSetup& setup, ChildPlan& plan) {
    std::string tmpdir = setup.tmpdir != nullptr ? std::string("TMPDIR=") + setup.tmpdir : "";
    for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        if (setup.tmpdir != nullptr && SameVariable(*entry, tmpdir.c_str())) continue;
        if (setup.extraEnv != nullptr && SameVariable(*entry, setup.extraEnv)) continue;
        plan.envStore.emplace_back(*entry);
    }
    if (setup.tmpdir != nullptr) plan.envStore.push_back(tmpdir);
    if (setup.extraEnv != nullptr) plan.envStore.emplace_back(setup.extraEnv);
    for (std::string& entry : plan.envStore) plan.envp.push_back(entry.data());
    plan.envp.push_back(nullptr);
    plan.start.envp = plan.envp.data();
}

// Opens the working folder for the child to enter, after checking that it can be entered: a
// start reports one error number, which could not tell this step from the exec.
bool OpenWorkdir(const char* workdir, ChildPlan& plan, String& message) {
    int fd;
    do fd = open(workdir, kOpenToEnter | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0 && faccessat(fd, ".", X_OK, AT_EACCESS) != 0) {
        int error = errno;
        close(fd);
        fd = -1;
        errno = error;
    }
    if (fd >= 0) fd = OwnAboveStdio(fd, plan);
    if (fd < 0) {
        message =
            String("exec error: cannot change to the working folder: ") + std::strerror(errno);
        return false;
    }
    plan.start.dirfd = fd;
    return true;
}

bool Prepare(char* const argv[], const TChildSetup& setup, ChildPlan& plan, String& message) {
    plan.argv = argv;
    if (setup.workdir != nullptr && !OpenWorkdir(setup.workdir, plan, message)) return false;
    if (argv[0][0] == '\0') {
        message = String("exec error: ") + std::strerror(ENOENT);
        return false;
    }
    FindCandidates(argv[0], plan);
    plan.shellArgv.push_back(const_cast<char*>(kShell));
    plan.shellArgv.push_back(nullptr);
    for (int i = 1; argv[i] != nullptr; i++) plan.shellArgv.push_back(argv[i]);
    plan.shellArgv.push_back(nullptr);
    BuildEnvironment(setup, plan);

    rlimit limit{};
    plan.start.fdLimit =
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kMaxDescriptorLoop
            ? static_cast<int>(limit.rlim_cur)
            : static_cast<int>(kMaxDescriptorLoop);

    const int given[4] = {setup.in, setup.out, setup.err, setup.fd3};
    int devnull = -1;
    for (int i = 0; i < 4; i++) {
        int fd = given[i];
        if (fd < 0 && i == 3) break;  // no descriptor 3
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
            message =
                String("exec error: cannot redirect the standard streams: ") + std::strerror(errno);
            return false;
        }
        plan.start.fds[i] = fd;
    }
    return true;
}

// Starts the first candidate that can be run, as execvp would pick it: one start for each that
// exists, and /bin/sh for a file that is neither a binary nor a "#!" script. 0 with `pid`, or the
// error number that execvp would have left.
int StartCandidates(ChildPlan& plan, pid_t& pid) {
    int error = ENOENT;
    bool deniedOnce = false;
    for (const std::string& candidate : plan.candidates) {
        // A candidate that is not there costs a stat here rather than a start.
        struct stat info {};
        if (stat(candidate.c_str(), &info) != 0) {
            error = errno;
        } else {
            error = StartChild(candidate.c_str(), plan.argv, plan.start, pid);
            if (error == ENOEXEC) {
                plan.shellArgv[1] = const_cast<char*>(candidate.c_str());
                error = StartChild(kShell, plan.shellArgv.data(), plan.start, pid);
            }
            if (error == 0) return 0;
        }
        if (error == EACCES) deniedOnce = true;
        if (!PathSearchGoesOn(error)) return error;
    }
    return deniedOnce ? EACCES : error;
}

// ---- Watching and waiting ----------------------------------------------------------------------

struct ChildWatch {
    std::mutex mutex;
    std::condition_variable changed;
    pid_t pid = 0;           // 0 until the start; -1 when there is no child
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

ChildEnd Judge(int status, bool killed, int& exitcode, String& message) {
    if (WIFSIGNALED(status)) {
        message = "abnormal termination";
        return killed ? ChildEnd::KilledAtLimit : ChildEnd::Signalled;
    }
    exitcode = WEXITSTATUS(status);
    return ChildEnd::Exited;
}

ChildEnd AwaitStartOnly(ChildWatch& watch, pid_t pid, int& exitcode, String& message) {
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
    return Judge(status, false, exitcode, message);
}

ChildEnd AwaitEnd(ChildWatch& watch, pid_t pid, int timeout, Clock::time_point start, int& exitcode,
                  String& message) {
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
    return Judge(status, killed, exitcode, message);
}

}  // namespace

ChildEnd RunProgram(char* const argv[], const TChildSetup& setup, int timeout, int& exitcode,
                    String& message) {
    message = "";
    ChildPlan plan;
    if (!Prepare(argv, setup, plan, message)) return ChildEnd::NotStarted;

    auto watch = std::make_shared<ChildWatch>();
    if (!StartWatcher(watch)) {
        message = "fork error";
        return ChildEnd::NotStarted;
    }
    // The start waits for the child's exec (a program file to load, perhaps from a slow disk):
    // the session's turn goes to another thread from here to the end, so that the starts of
    // requests served side by side overlap.
    BlockingWait running;
    pid_t pid = -1;
    int error = StartCandidates(plan, pid);
    const Clock::time_point start = Clock::now();
    SetPid(*watch, error == 0 ? pid : -1);
    if (error == EAGAIN || error == ENOMEM) {
        message = "fork error";  // no process could be made: the system's limits
        return ChildEnd::NotStarted;
    }
    if (error != 0) {
        // Start-only mode has never told more than this.
        message = timeout == kStartOnly ? String("exec error")
                                        : String("exec error: ") + std::strerror(error);
        return ChildEnd::NotStarted;
    }
    if (timeout == kStartOnly) return AwaitStartOnly(*watch, pid, exitcode, message);
    return AwaitEnd(*watch, pid, timeout, start, exitcode, message);
}
