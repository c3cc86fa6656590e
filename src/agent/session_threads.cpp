#include "agent/session_threads.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "agent/event_report.h"
#include "agent/peer_report.h"
#include "agent/session.h"
#include "agent/session_pool.h"
#include "agent/session_table.h"
#include "config/messages.h"
#include "config/settings.h"
#include "foundation/blocking_wait.h"
#include "net/iplist.h"

namespace {

// Descriptors left to the rest of the agent (log files, the files and programs of handlers) when
// the session limit is set from the descriptor limit.
constexpr int kOtherDescriptors = 64;
constexpr auto kMainLoopRound = std::chrono::milliseconds(1000);

EventReport sessionLimitClosed("Session limit reached: a session waiting for its request closed");
EventReport sessionLimitRefused(
    "Session limit reached with every session at work: new connection closed");

// Threads in turn: one for every two processors. More only take turns at sleeping in accept(),
// each connection waking one of them, where fewer find the next connection already waiting with
// its request in. On two processors shared with a load generator, one thread in turn served 10%
// more requests than two with a lower p99, and two used 40% less processor time per request than
// four. The agent shares its host with what it watches: half the processors is plenty.
int ThreadsInTurn() {
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    return processors < 2 ? 1 : (processors > 128 ? 64 : static_cast<int>(processors / 2));
}

// The session limit in force: the setting, but never more sessions than descriptors allow.
int SessionLimit(const TQDXSettings& settings) {
    static const int byDescriptors = [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
            return 1 << 30;
        long long room = static_cast<long long>(limit.rlim_cur) - kOtherDescriptors;
        return room < 1 ? 1 : (room > (1 << 30) ? 1 << 30 : static_cast<int>(room));
    }();
    return settings.maxsessions < byDescriptors ? settings.maxsessions : byDescriptors;
}

void CloseConnection(int sock) {
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

// The connection filter: the peer must lie in an active entry.
bool Admitted(const TQDXSettings& settings, const PeerAddress& peer) {
    if (!settings.filteractive) return true;
    return FilterAdmits(settings.filteractivelist, peer);
}

// One accepted connection, from the filter to its close.
void TakeConnection(int sock, const PeerAddress& peer) {
    SettingsSnapshot settings = CurrentSettings();
    if (!Admitted(*settings, peer)) {
        AgentStatus.FailedConnections++;
        showmessage("TCP connection rejected\n", peer, msgFail, 0);
        CloseConnection(sock);
        return;
    }
    SessionEntry entry(sock);
    int closed = 0;
    bool admitted = Sessions().Admit(entry, SessionLimit(*settings), closed);
    settings.reset();
    for (int i = 0; i < closed; i++) sessionLimitClosed.Note();
    if (!admitted) {
        AgentStatus.FailedConnections++;
        sessionLimitRefused.Note();
        CloseConnection(sock);
        return;
    }
    showmessage("TCP connection accepted\n", peer, msgOk, 0);
    RunSession(entry, peer);
}

SessionPool& Pool() {
    // Never destroyed: its threads use it for the life of the process.
    static SessionPool* pool = [] {
        auto* made = new SessionPool(TakeConnection, ThreadsInTurn());
        // Handlers that wait for a program or another host give their turn away as a session
        // waiting for its peer does.
        SetBlockingWaitHooks(SessionWaitsForPeer, SessionGoesOn);
        return made;
    }();
    return *pool;
}

}  // namespace

void ServeListener(int listener) {
    Pool().ServeListener(listener);
}

int RetireListener() {
    return Pool().RetireListener();
}

void TendSessionThreads() {
    EventReport::FlushAll();
    FlushRefusedLogins();
    Pool().Tend(kMainLoopRound);
}

void SessionWaitsForPeer() {
    Pool().WaitsForPeer();
}

void SessionGoesOn() {
    Pool().GoesOn();
}

bool ConnectionsPending() {
    return Pool().ConnectionsPending();
}

void WakeMainLoop() {
    Pool().WakeOwner();
}
