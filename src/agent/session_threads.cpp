#include "agent/session_threads.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "agent/event_report.h"
#include "agent/peer_report.h"
#include "agent/session.h"
#include "agent/session_pool.h"
#include "agent/session_table.h"
#include "config/messages.h"
#include "config/settings.h"
#include "foundation/blocking_wait.h"
#include "net/iplist.h"
#include "net/tls.h"

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

// Handshakes at once at most: each costs a processor for a few milliseconds, so a flood of them
// from hostile peers waits its turn rather than starving the plain port's sessions.
constexpr int kMostHandshakes = 8;
std::atomic<int> handshakes{0};
TlsContextPtr tlsContext;  // read and replaced with std::atomic_load / atomic_store

EventReport handshakesBusy("TLS handshakes at their bound: new connection closed");
EventReport handshakeFailed("TLS handshake failed or refused: connection closed");

// Runs the server's handshake on `sock` (made non-blocking) within the idle and request time
// limits. False when it failed, timed out or found kMostHandshakes already running.
bool ShakeHands(TlsStream& stream, int sock, const PeerAddress& peer) {
    if (handshakes.fetch_add(1) >= kMostHandshakes) {
        handshakes.fetch_sub(1);
        AgentStatus.FailedConnections++;
        handshakesBusy.Note();
        return false;
    }
    int flags = fcntl(sock, F_GETFL);
    fcntl(sock, F_SETFL, flags | O_NONBLOCK);
    SettingsSnapshot settings = CurrentSettings();
    long long limit = settings->requesttimeout;
    if (settings->timeout > 0 && settings->timeout < limit) limit = settings->timeout;
    settings.reset();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    String error;
    int done;
    while ((done = stream.Handshake(error)) == 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            error = "handshake not complete in time";
            done = -1;
            break;
        }
        pollfd ready{sock, stream.Wants(), 0};
        SessionWaitsForPeer();
        int rc = poll(&ready, 1, static_cast<int>(left));
        SessionGoesOn();
        if (rc < 0 && errno != EINTR) {
            error = std::strerror(errno);
            done = -1;
            break;
        }
    }
    handshakes.fetch_sub(1);
    if (done == 1) return true;
    AgentStatus.FailedConnections++;
    handshakeFailed.Note();
    showmessage("TLS handshake failed: %s\n", peer, msgDetail, 1, error.SetZero().Data());
    return false;
}

// Filter and session bounds for a connection just accepted; false when it was closed.
bool AdmitConnection(int sock, const PeerAddress& peer, bool plainPort, SessionEntry& entry) {
    SettingsSnapshot settings = CurrentSettings();
    if (!Admitted(*settings, peer) || (plainPort && settings->plainlocalonly && !peer.IsLoopback())) {
        AgentStatus.FailedConnections++;
        showmessage("TCP connection rejected\n", peer, msgFail, 0);
        CloseConnection(sock);
        return false;
    }
    int closed = 0;
    bool admitted = Sessions().Admit(entry, SessionLimit(*settings), closed);
    settings.reset();
    for (int i = 0; i < closed; i++) sessionLimitClosed.Note();
    if (!admitted) {
        AgentStatus.FailedConnections++;
        sessionLimitRefused.Note();
        CloseConnection(sock);
        return false;
    }
    showmessage("TCP connection accepted\n", peer, msgOk, 0);
    return true;
}

// One accepted connection on the plain port, from the filter to its close.
void TakeConnection(int sock, const PeerAddress& peer) {
    SessionEntry entry(sock);
    if (AdmitConnection(sock, peer, true, entry)) RunSession(entry, peer);
}

// One accepted connection on the TLS port: the filter, the session bounds, the handshake within
// the request's time limits and the bound on handshakes at once, then a session as on the plain
// port over the TLS stream.
void TakeTlsConnection(int sock, const PeerAddress& peer) {
    SessionEntry entry(sock);
    if (!AdmitConnection(sock, peer, false, entry)) return;
    TlsContextPtr context = std::atomic_load(&tlsContext);
    std::optional<TlsStream> stream;
    if (context != nullptr) stream.emplace(context, sock, true);
    if (stream.has_value() && ShakeHands(*stream, sock, peer)) {
        RunSession(entry, peer, &*stream);
        return;
    }
    Sessions().Leave(entry);
    CloseConnection(sock);
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

SessionPool& TlsPool() {
    // Never destroyed, as Pool(). One thread in turn: handshakes are bounded anyway.
    static SessionPool* pool = new SessionPool(TakeTlsConnection, 1);
    return *pool;
}

}  // namespace

void ServeListener(int listener) {
    Pool().ServeListener(listener);
}

void ServeTlsListener(int listener, TlsContextPtr context) {
    std::atomic_store(&tlsContext, std::move(context));
    TlsPool().ServeListener(listener);
}

int RetireTlsListener() {
    return TlsPool().RetireListener();
}

int RetireListener() {
    return Pool().RetireListener();
}

void TendSessionThreads() {
    EventReport::FlushAll();
    FlushRefusedLogins();
    // The TLS pool calls more threads in when its own are held up; its rounds are the plain one's.
    TlsPool().Tend(std::chrono::milliseconds(0));
    Pool().Tend(kMainLoopRound);
}

void SessionWaitsForPeer() {
    if (SessionPool* pool = SessionPool::Current()) pool->WaitsForPeer();
}

void SessionGoesOn() {
    if (SessionPool* pool = SessionPool::Current()) pool->GoesOn();
}

bool ConnectionsPending() {
    SessionPool* pool = SessionPool::Current();
    return (pool != nullptr ? *pool : Pool()).ConnectionsPending();
}

void WakeMainLoop() {
    Pool().WakeOwner();
}
