#include "agent/accept_loop.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "agent/daemon.h"
#include "agent/flags.h"
#include "agent/listener.h"
#include "agent/session.h"
#include "agent/signals.h"
#include "agent/timeout_change.h"
#include "agent/upgrade_script.h"
#include "config/messages.h"
#include "config/options.h"
#include "config/settings.h"
#include "net/iplist.h"

extern char** environ;

namespace {

constexpr int kWakeMilliseconds = 1000;
// Pause after running out of descriptors or memory, so the pending connection does not spin us.
constexpr int kExhaustedPauseMilliseconds = 100;

[[noreturn]] void EndProcess(int code) {
    // Sessions may still be running: skip static destructors they could be using.
    std::fflush(nullptr);
    _exit(code);
}

void CloseListener(AgentProcess& agent) {
    if (agent.listener > 0) {
        shutdown(agent.listener, SHUT_RDWR);
        close(agent.listener);
    }
    agent.listener = 0;
}

void ReleaseForExec(AgentProcess& agent) {
    CloseListener(agent);
    releasepidfile(agent.pidfile);
    agent.pidfile = -1;
}

// Replaces the process image with `program` run with `argv` and the agent's environment.
// Returns only when that failed, with listener and PID file released.
void Execute(AgentProcess& agent, String program, char** argv) {
    program.SetZero();
    ReleaseForExec(agent);
    std::fflush(nullptr);
    execve(program.Data(), argv, environ);
}

// After a failed execve the agent goes on serving: listener and PID file come back.
void Resume(AgentProcess& agent) {
    String error;
    int port = CurrentSettings()->port;
    agent.listener = Listen(port, agent.addrlen, error);
    if (agent.listener == 0) {
        error.SetZero();
        showmessage("TCP listen error: %s\n", LOCAL, msgFail, 1, error.Data());
        EndProcess(4);
    }
    agent.listeningPort = port;
    if (agent.daemon && CurrentSettings()->pidfile.Length() > 0) agent.pidfile = createpidfile();
}

// Puts "port" back to the port still listened on, unless a newer change has replaced the port
// that could not be opened: that one is tried next.
void ReturnToPort(int failed, int listening) {
    auto lock = LockOptions();
    SettingsSnapshot settings = CurrentSettings();
    if (settings->port != failed) return;
    TQDXSettings next = *settings;
    next.port = listening;
    PublishSettings(next);
}

// Moves the listener to `wanted`. The new port is opened while the old one still listens, and
// the old one is closed only once the new one is proven, so the agent is never without a listener.
void SwitchPort(AgentProcess& agent, int wanted) {
    String error;
    socklen_t addrlen = 0;
    int fresh = Listen(wanted, addrlen, error);
    if (fresh != 0) {
        CloseListener(agent);
        agent.listener = fresh;
        agent.addrlen = addrlen;
        agent.listeningPort = wanted;
        showmessage("Server port switching .. Ok\n", LOCAL, msgOk, 0);
        return;
    }
    showmessage("Error: cannot open new port for listening\n", LOCAL, msgFail, 0);
    ReturnToPort(wanted, agent.listeningPort);
    showmessage("Return to original port\n", LOCAL, msgFail, 0);
}

// The reasons of a failed load, one per line, as one line: "  Password is not specified!\n  ..."
// becomes "Password is not specified! ...".
String OneLine(const String& reasons) {
    String line;
    for (int i = 1; i <= reasons.Length();) {
        int end = i;
        while (end <= reasons.Length() && reasons[end] != '\n') end++;
        String reason = reasons.Copy(i, end - i);
        if (reason.Trim().Length() > 0) {
            if (line.Length() > 0) line += ' ';
            line += reason;
        }
        i = end + 1;
    }
    return line;
}

// Nobody waits for an answer to the hang-up signal, so a refused file is reported in the logs.
void ReloadOnHangUp() {
    String reasons;
    if (LoadOptions(reasons)) return;
    String line = OneLine(reasons);
    line.SetZero();
    showmessage("Configuration not reloaded, the settings in force stay: %s\n", LOCAL, msgFail, 1,
                line.Data() != nullptr ? line.Data() : "");
}

// Acts on the raised flags; returns when there is nothing (more) to do.
void CarryOutRequests(AgentProcess& agent) {
    if (QDXFlags.terminate.load()) {
        showmessage("Terminate request received. Terminating..\n", LOCAL, msgInfo, 0);
        closepidfile(agent.pidfile);
        EndProcess(0);
    }
    if (QDXFlags.restart.load()) {
        showmessage("Reload request received. Executing..\n", LOCAL, msgInfo, 0);
        Execute(agent, CurrentSettings()->qdxpath, agent.argv);
        showmessage("Error: cannot start new instance\n", LOCAL, msgFail, 0);
        QDXFlags.restart.store(0);
        Resume(agent);
    }
    if (QDXFlags.upgrade.load()) {
        showmessage("Upgrade request received. Executing..\n", LOCAL, msgInfo, 0);
        String script;
        {
            std::lock_guard<std::mutex> lock(thread_mutex);
            script = QDXFlags.upgradescript;
        }
        // Through the shell, so a temporary folder mounted without exec rights does not matter.
        std::vector<char*> argv = UpgradeScriptArgv(script, agent.argv);
        Execute(agent, kUpgradeShell, argv.data());
        showmessage("Error: cannot start upgrading script\n", LOCAL, msgFail, 0);
        QDXFlags.upgrade.store(0);
        Resume(agent);
    }
    if (QDXFlags.reload.exchange(0)) ReloadOnHangUp();
    int wanted = CurrentSettings()->port;
    if (wanted != agent.listeningPort) SwitchPort(agent, wanted);
}

bool Transient(int error) {
    switch (error) {
        case ECONNABORTED:
        case EPROTO:
        case EAGAIN:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

bool Exhausted(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The connection filter: the peer's dotted text must equal an active entry.
bool Admitted(in_addr peer) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->filteractive) return true;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer, text, sizeof text);
    return FilterAdmits(settings->filteractivelist, text);
}

}  // namespace

void AcceptLoop(AgentProcess& agent) {
    SettingsSnapshot seen;  // held, so a new snapshot never reuses its address
    for (;;) {
        CarryOutRequests(agent);
        SettingsSnapshot settings = CurrentSettings();
        if (settings != seen) {
            // Sessions waiting for their request sleep until their time-out is due: wake them.
            if (seen != nullptr && settings->timeout != seen->timeout) AnnounceTimeoutChange();
            seen = settings;
            UpdateFaultContext();
        }

        pollfd readable{agent.listener, POLLIN, 0};
        if (poll(&readable, 1, kWakeMilliseconds) <= 0) continue;

        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int sock =
            accept4(agent.listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (sock < 0) {
            int error = errno;
            if (error == EINTR || Transient(error)) continue;
            if (Exhausted(error)) {
                showmessage("Accept error: %s\n", LOCAL, msgFail, 1, std::strerror(error));
                poll(nullptr, 0, kExhaustedPauseMilliseconds);
                continue;
            }
            showmessage("Accept fatal error: %s\n\n", LOCAL, msgFail, 1, std::strerror(error));
            EndProcess(4);
        }
        if (!Admitted(peer.sin_addr)) {
            AgentStatus.FailedConnections++;
            showmessage("TCP connection rejected\n", peer.sin_addr, msgFail, 0);
            shutdown(sock, SHUT_RDWR);
            close(sock);
            continue;
        }
        showmessage("TCP connection accepted\n", peer.sin_addr, msgOk, 0);
        StartSession(sock, peer.sin_addr);
    }
}
