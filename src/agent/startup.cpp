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
    PrintBanner();

    std::printf("Command line checking .. ");
    TQDXSettings initial;
    ParseCommandLine(argc, argv, initial);
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
    RunSelfChecks(settings->verbosedetail);

    TlsContextPtr tls;
    if (settings->tlsport != 0) {
        std::printf("TLS checking .. ");
        String error;
        tls = NewServerTlsContext(TlsOptionsOf(*settings), error);
        if (tls == nullptr) {
            std::printf("Error\n  %s\nPlease check '%s' file\n\n", error.SetZero().Data(),
                        initial.cfgfile);
            return 1;
        }
        std::puts("Ok");
    }

    std::printf("Sock testing .. ");
    std::fflush(stdout);
    AgentProcess agent{argv, 0, 0, 0, -1, settings->interactive == 0, initial.port, 0, tls};
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
    shutdown(trial, SHUT_RDWR);
    close(trial);

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
    agent.listener = Listen(agent.listeningPort, agent.addrlen, error);
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
