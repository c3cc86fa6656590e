#include "agent/startup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/cmdline.h"
#include "agent/daemon.h"
#include "agent/denied_rules.h"
#include "agent/listener.h"
#include "agent/main_loop.h"
#include "agent/selfcheck.h"
#include "agent/signals.h"
#include "agent/upgrade.h"
#include "config/messages.h"
#include "config/options.h"
#include "config/settings.h"
#include "net/tls.h"
#include "fileutils/tempname.h"
#include "platform/memory.h"
#include "platform/privileges.h"

namespace {

const char kRule[] = "-------------------------------------------------------------";  // 61

// Descriptors 0 to 2 must be open, or a socket or log file could land on them and receive
// console output.
void EnsureStandardStreams() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// Many simultaneous sessions need many descriptors: take all the system allows us.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// Names of temporary files follow a pattern; in a folder that others may write to, they can see
// them, and plant files under names to come (creation then moves on to random names).
void WarnOfSharedTempFolder(const String& tmpdir) {
    String folder = tmpdir;
    folder.SetZero();
    if (folder.Data() == nullptr || !FolderWritableByOthers(folder.Data(), geteuid())) return;
    showmessage(
        "Warning: temporary folder '%s' is writable by other users; set \"tmpdir\" to a folder "
        "of the agent's own\n",
        LOCAL, msgFail, 1, folder.Data());
}

// Who the agent is to run as, decided before anything is read: the user "-u" names, when that is
// not the user running it already. Programs the agent starts never inherit a capability: the
// inheritable and ambient sets are emptied here, in the main thread before any other thread is
// made. False with the reason when that cannot be done.
bool SettleIdentity(const TQDXSettings& initial, bool& switchUser, TRunAs& user, String& error) {
    std::string reason;
    switchUser = false;
    if (!ClearInheritedCapabilities(reason)) {
        error = String("cannot clear inherited capabilities: ") + reason.c_str();
        return false;
    }
    if (initial.runuser[0] == '\0') return true;
    if (!LookUpUser(initial.runuser, user, reason)) {
        error = String("cannot run as user '") + initial.runuser + "': " + reason.c_str();
        return false;
    }
    if (user.uid == getuid() && user.uid == geteuid()) return true;  // already that user
    if (geteuid() != 0) {
        error = String("cannot run as user '") + initial.runuser +
                "': only root can take another user";
        return false;
    }
    switchUser = true;
    return true;
}

std::string Text(const String& text) {
    return std::string(text.Data() != nullptr ? text.Data() : "", static_cast<size_t>(text.Length()));
}

TlsOptions TlsOptionsOf(const TQDXSettings& s) {
    TlsOptions options;
    options.certFile = Text(s.tlscertfile);
    options.keyFile = Text(s.tlskeyfile);
    options.caFile = Text(s.tlscafile);
    options.pskIdentity = Text(s.tlspskidentity);
    options.pskFile = Text(s.tlspskfile);
    options.allowTls12 = s.tlsallow12 != 0;
    return options;
}

void PrintBanner() {
    std::puts(kRule);
    std::puts(" Application:  QDX (Quodex for Zelpane)");
    std::printf(" Version:      %s for %s\n\n", AgentStatus.AgentVersion,
                AgentStatus.AgentPlatform);
    std::puts(kRule);
}

}  // namespace

int RunAgent(int argc, char** argv, char** envp) {
    EnsureStandardStreams();
    String rolledBack = TakeRollBackReason();
    pid_t upgradeWatcher = TakeUpgradeWatcher();
    PrintBanner();

    std::printf("Command line checking .. ");
    TQDXSettings initial;
    ParseCommandLine(argc, argv, initial);
    bool switchUser = false;
    TRunAs user;
    if (String error; !SettleIdentity(initial, switchUser, user, error)) {
        std::printf("Error\n%s\n\n", error.SetZero().Data());
        return 1;
    }
    PublishSettings(initial);

    std::printf("Ok\nSettings checking .. ");
    String message;
    if (!LoadOptions(message)) {
        message.SetZero();
        std::printf("Error\n%s\nPlease check '%s' file\n\n", message.Data(), initial.cfgfile);
        return 1;
    }
    message.SetZero();
    if (message.Length() == 0)
        std::puts("Ok");
    else
        std::printf("Warning: %s\n", message.Data());

    SettingsSnapshot settings = CurrentSettings();
    KeepDeniedPathsInForce(*settings);
    RunSelfChecks(settings->verbosedetail);

    std::printf("Sock testing .. ");
    std::fflush(stdout);
    AgentProcess agent{argv, 0, 0, 0, -1, settings->interactive == 0, initial.port, 0, nullptr};
    String error;
    String note;
    int trial = Listen(settings->port, agent.addrlen, error, &note);
    if (trial == 0) {
        error.SetZero();
        std::printf("TCP listen error:\n%s\n\n", error.Data());
        return 4;
    }
    std::puts("Ok");
    if (note.Length() > 0) std::printf("Note: %s\n", note.SetZero().Data());
    if (switchUser) {
        // The socket stays open for the user: the port may be one only root can take.
        std::printf("User switching .. ");
        std::string reason;
        if (!SwitchToUser(user, reason)) {
            std::printf("Error\ncannot run as user '%s': %s\n\n", initial.runuser, reason.c_str());
            return 1;
        }
        std::printf("Ok, running as %s\n", user.name.c_str());
    } else {
        shutdown(trial, SHUT_RDWR);
        close(trial);
        trial = 0;
    }

    // The key files are read as the user the agent runs as (with its capability), as everything
    // else the configuration names.
    if (settings->tlsport != 0) {
        std::printf("TLS checking .. ");
        agent.tls = NewServerTlsContext(TlsOptionsOf(*settings), error);
        if (agent.tls == nullptr) {
            std::printf("Error\n  %s\nPlease check '%s' file\n\n", error.SetZero().Data(),
                        initial.cfgfile);
            return 1;
        }
        std::puts("Ok");
    }

    if (agent.daemon && daemon_init() != 0) {
        std::fprintf(stderr, "Error initializing daemon: %s\n", std::strerror(errno));
        return 2;
    }
    InstallFaultHandlers(argv, envp);
    InstallTerminateHandler();
    RaiseDescriptorLimit();
    ReturnLargeBlocksToTheSystem();

    settings = CurrentSettings();
    agent.listeningPort = settings->port;
    agent.listener = trial != 0 ? trial : Listen(agent.listeningPort, agent.addrlen, error);
    if (agent.listener == 0) {
        error.SetZero();
        std::printf("TCP listen error: %s\n\n", error.Data());
        return 4;
    }
    if (agent.tls != nullptr && OpenTlsListener(agent, error) == 0) {
        error.SetZero();
        std::printf("TLS listen error: %s\n\n", error.Data());
        return 4;
    }
    if (agent.daemon && settings->pidfile.Length() > 0) agent.pidfile = createpidfile();
    daemon_ready();
    WarnOfSharedTempFolder(settings->tmpdir);
    settings.reset();
    StopUpgradeWatcher(upgradeWatcher);
    if (note.Length() > 0) showmessage("%s\n", LOCAL, msgFail, 1, note.SetZero().Data());
    showmessage("Listening...\n", LOCAL, msgInfo, 0);
    if (rolledBack.Length() > 0) {
        showmessage("upgrade rolled back: %s\n", LOCAL, msgFail, 1, rolledBack.SetZero().Data());
        // Started again by the script's watcher, which the shell starts with the interrupt
        // signals ignored: the console's Ctrl-C stops the agent again, as it did before.
        if (!agent.daemon) {
            signal(SIGINT, SIG_DFL);
            signal(SIGQUIT, SIG_DFL);
        }
    }
    RunMainLoop(agent);
}
