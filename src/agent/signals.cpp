#include "agent/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>

#include "agent/flags.h"
#include "config/log_path.h"
#include "config/settings.h"
#include "platform/privileges.h"

extern char** environ;

namespace {

constexpr time_t kNoRestartSeconds = 180;

// Everything the fault handler needs, prepared outside signal context. Two copies, so the main
// thread can fill one while a handler may be reading the other.
struct FaultContext {
    char agentPath[1024];
    char logs[2][1024];  // failure and verbose logs
    int logCount;
    int console;
    long utcOffset;  // seconds east of UTC, for the time stamp
};

FaultContext contexts[2];
std::atomic<int> activeContext{0};
char** savedArgv = nullptr;

// ---- async-signal-safe formatting ------------------------------------------------------------

struct Line {
    char text[512];
    size_t length = 0;

    void Add(const char* s) {
        while (*s && length < sizeof text - 1) text[length++] = *s++;
    }
    void Add2(int value) {  // two digits
        char digits[3] = {static_cast<char>('0' + value / 10 % 10),
                          static_cast<char>('0' + value % 10), 0};
        Add(digits);
    }
    void Add4(int value) {
        Add2(value / 100);
        Add2(value % 100);
    }
};

struct Stamp {
    int year, month, day, hour, minute, second;
};

// Civil date from a count of days since 1970-01-01 (proleptic Gregorian calendar).
Stamp StampOf(time_t t) {
    long long secs = static_cast<long long>(t);
    long long days = secs / 86400;
    long long rest = secs % 86400;
    if (rest < 0) {
        rest += 86400;
        days--;
    }
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    long long doe = days - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    Stamp s{};
    s.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    s.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    s.year = static_cast<int>(yoe + era * 400 + (s.month <= 2 ? 1 : 0));
    s.hour = static_cast<int>(rest / 3600);
    s.minute = static_cast<int>(rest / 60 % 60);
    s.second = static_cast<int>(rest % 60);
    return s;
}

void AddTime(Line& line, const Stamp& s) {
    line.Add2(s.hour);
    line.Add(":");
    line.Add2(s.minute);
    line.Add(":");
    line.Add2(s.second);
}

// Writes a message the way the message function would, with signal-safe calls only.
void EmitFromSignal(const FaultContext& context, const char* message) {
    Stamp stamp = StampOf(time(nullptr) + context.utcOffset);
    if (context.console) {
        Line console;
        console.Add("[qdx][");
        AddTime(console, stamp);
        console.Add("]\t qdx\t\t ");
        console.Add(message);
        ssize_t ignored = write(STDOUT_FILENO, console.text, console.length);
        (void)ignored;
    }
    Line log;
    log.Add("[");
    log.Add2(stamp.month);
    log.Add("/");
    log.Add2(stamp.day);
    log.Add("/");
    log.Add4(stamp.year);
    log.Add(" ");
    AddTime(log, stamp);
    log.Add("]\t qdx\t\t ");
    log.Add(message);
    for (int i = 0; i < context.logCount; i++) {
        int fd = open(context.logs[i],
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666);
        if (fd < 0) continue;
        ssize_t ignored = write(fd, log.text, log.length);
        (void)ignored;
        close(fd);
    }
}

void OnFault(int) {
    // SA_RESETHAND has already restored the default action: a fault from here on ends the
    // process, and so does returning to the faulting instruction.
    const FaultContext& context = contexts[activeContext.load(std::memory_order_acquire)];
    EmitFromSignal(context, "Segmentation fault!!\n");
    if (time(nullptr) - QDXFlags.starttime <= kNoRestartSeconds) return;
    EmitFromSignal(context, "Restarting..\n");
    if (context.agentPath[0] == '\0') return;
    RaiseReadCapabilityForExec();
    execve(context.agentPath, savedArgv, environ);
}

void OnHangUp(int) {
    QDXFlags.reload.store(1);
}

void OnTerminate(int) {
    QDXFlags.terminate.store(1);
}

void CopyPath(char* dest, size_t size, const String& path) {
    size_t n = static_cast<size_t>(path.Length()) < size - 1 ? static_cast<size_t>(path.Length())
                                                             : size - 1;
    if (n > 0) std::memcpy(dest, path.Data(), n);
    dest[n] = '\0';
}

// An empty name means no log at all.
void AddLog(FaultContext& context, const String& path) {
    if (path.Length() == 0) return;
    CopyPath(context.logs[context.logCount++], sizeof context.logs[0], path);
}

// A handler that only raises a flag: interrupted system calls go on.
void InstallFlagHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

}  // namespace

void InstallReloadHandler() {
    InstallFlagHandler(SIGHUP, OnHangUp);
}

void InstallTerminateHandler() {
    InstallFlagHandler(SIGTERM, OnTerminate);
}

void InstallFaultHandlers(char** argv, char** envp) {
    (void)envp;  // re-execution passes the environment as it stands then
    savedArgv = argv;
    UpdateFaultContext();
    struct sigaction action {};
    action.sa_handler = OnFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigaction(SIGSEGV, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void UpdateFaultContext() {
    SettingsSnapshot settings = CurrentSettings();
    int next = 1 - activeContext.load(std::memory_order_relaxed);
    FaultContext& context = contexts[next];
    CopyPath(context.agentPath, sizeof context.agentPath, settings->qdxpath);
    context.logCount = 0;
    if (settings->logfails) AddLog(context, LogFilePath(settings->badlogfile, settings->cfgfile));
    if (settings->verbose)
        AddLog(context, LogFilePath(settings->verboselogfile, settings->cfgfile));
    context.console = settings->interactive;
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    context.utcOffset = local.tm_gmtoff;
    activeContext.store(next, std::memory_order_release);
}
