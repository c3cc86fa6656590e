#include "agent/main_loop.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "agent/daemon.h"
#include "agent/flags.h"
#include "agent/listener.h"
#include "agent/session_threads.h"
#include "agent/signals.h"
#include "agent/timeout_change.h"
#include "agent/upgrade.h"
#include "agent/upgrade_script.h"
#include "config/messages.h"
#include "config/options.h"
#include "config/settings.h"
#include "fileutils/fs_guard.h"
#include "platform/privileges.h"
#include "net/iplist.h"
#include "platform/socket.h"

extern char** environ;

namespace {

// Takes the listener from the session threads and closes it.
void CloseListener(AgentProcess& agent) {
    int listener = RetireListener();
    // -1: a thread could still be in accept() on it; leave it open rather than close a descriptor
    // in use (it no longer takes connections).
    if (listener > 0) close(listener);
    agent.listener = 0;
}

// The session threads accept on `listener` from now on.
void UseListener(AgentProcess& agent, int listener) {
    agent.listener = listener;
    ServeListener(listener);
}

void ReleaseForExec(AgentProcess& agent) {
    CloseListener(agent);
    if (agent.tlsListener > 0) {
        int listener = RetireTlsListener();
        if (listener > 0) close(listener);
        agent.tlsListener = 0;
    }
    releasepidfile(agent.pidfile);
    agent.pidfile = -1;
}

// Replaces the process image with `program` run with `argv` and the agent's environment.
// Returns only when that failed, with listener and PID file released.
void Execute(AgentProcess& agent, String program, char** argv) {
    program.SetZero();
    ReleaseForExec(agent);
    std::fflush(nullptr);
    // The new image keeps the read capability of an agent that runs as its own user.
    RaiseReadCapabilityForExec();
    execve(program.Data(), argv, environ);
    LowerReadCapabilityAfterExec();
}

// After a failed execve the agent goes on serving: listener and PID file come back.
void Resume(AgentProcess& agent) {
    String error;
    int port = CurrentSettings()->port;
    int listener = Listen(port, agent.addrlen, error);
    if (listener == 0) {
        error.SetZero();
        showmessage("TCP listen error: %s\n", LOCAL, msgFail, 1, error.Data());
        EndProcess(4);
    }
    UseListener(agent, listener);
    agent.listeningPort = port;
    if (agent.tls != nullptr && OpenTlsListener(agent, error) == 0) {
        error.SetZero();
        showmessage("TLS listen error: %s\n", LOCAL, msgFail, 1, error.Data());
        EndProcess(4);
    }
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
        UseListener(agent, fresh);
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
        String reason;
        if (!UpgradeScriptReady(script, reason)) {
            // The listener is still ours: go on serving; the next session end tries again.
            showmessage("Error: cannot start upgrading script: %s\n", LOCAL, msgFail, 1,
                        reason.SetZero().Data());
            QDXFlags.upgrade.store(0);
        } else {
            // The script waits for the new executable to listen where a restart would: on the
            // port of the command line, or else the configured one, and (in daemon mode) for the
            // process in the PID file, when this agent has one.
            SettingsSnapshot settings = CurrentSettings();
            char number[16];
            std::snprintf(number, sizeof number, "%d",
                          agent.commandLinePort != 0 ? agent.commandLinePort : settings->port);
            String port(number);
            String pidfile = agent.daemon && agent.pidfile >= 0 ? settings->pidfile : String();
            settings.reset();
            // Through the shell, so a temporary folder mounted without exec rights does not matter.
            std::vector<char*> argv = UpgradeScriptArgv(script, port, pidfile, agent.argv);
            Execute(agent, kUpgradeShell, argv.data());
            showmessage("Error: cannot start upgrading script\n", LOCAL, msgFail, 0);
            QDXFlags.upgrade.store(0);
            Resume(agent);
        }
    }
    if (QDXFlags.reload.exchange(0)) ReloadOnHangUp();
    int wanted = CurrentSettings()->port;
    if (wanted != agent.listeningPort) SwitchPort(agent, wanted);
}

}  // namespace

namespace {

bool ListsChanged(const TQDXSettings& before, const TQDXSettings& now) {
    return before.filterlist != now.filterlist || before.manageaddr != now.manageaddr ||
           before.updateaddr != now.updateaddr;
}

// Entries of the address lists that match nothing are named in the failure log whenever the lists
// are loaded or changed.
void ReportUnreadableEntries(const TQDXSettings& settings) {
    for (const std::string& line :
         AddressListWarnings(settings.filterlist, settings.manageaddr, settings.updateaddr))
        showmessage("%s\n", LOCAL, msgFail, 1, line.c_str());
}

// A call was refused because the file system on `mountPoint` does not answer (at most once a
// minute per file system).
void ReportFsNotAnswering(const char* mountPoint) {
    showmessage("file system %s is not answering\n", LOCAL, msgFail, 1, mountPoint);
}

}  // namespace

int OpenTlsListener(AgentProcess& agent, String& error) {
    socklen_t addrlen = 0;
    int listener = Listen(CurrentSettings()->tlsport, addrlen, error);
    if (listener == 0) return 0;
    agent.tlsListener = listener;
    ServeTlsListener(listener, agent.tls);
    return listener;
}

static_assert(kDefaultFsStallSetting == kDefaultFsStall &&
              kDefaultFsStuckSetting == kDefaultFsStuck);

void RunMainLoop(AgentProcess& agent) {
    // Made now rather than by the first session that waits: the agent's descriptors stay the same
    // from here on whenever no connection is open.
    CurrentTimeoutChange();
    // The guard knows its limits and holds the mount table open before the first session runs.
    SetFsNotAnsweringReporter(ReportFsNotAnswering);
    SetFsGuardLimits(CurrentSettings()->fsstall, CurrentSettings()->fsstuck);
    UseListener(agent, agent.listener);
    SettingsSnapshot seen;  // held, so a new snapshot never reuses its address
    for (;;) {
        CarryOutRequests(agent);
        SettingsSnapshot settings = CurrentSettings();
        if (settings != seen) {
            SetFsGuardLimits(settings->fsstall, settings->fsstuck);
            // Sessions waiting for their request sleep until their time-out is due: wake them.
            if (seen != nullptr && settings->timeout != seen->timeout) AnnounceTimeoutChange();
            // Connections inherit keepalive from the listener.
            if (seen != nullptr && settings->keepalive != seen->keepalive)
                SetTcpKeepalive(agent.listener, settings->keepalive);
            if (seen != nullptr && settings->maxsessions != seen->maxsessions)
                SetListenBacklog(agent.listener, settings->maxsessions);
            if (seen == nullptr || ListsChanged(*seen, *settings)) ReportUnreadableEntries(*settings);
            seen = settings;
            UpdateFaultContext();
        }
        settings.reset();
        TendSessionThreads();  // waits for the next round
    }
}
