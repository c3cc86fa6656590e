#include "agent/session_threads.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "agent/descriptor_reserve.h"
#include "agent/event_report.h"
#include "agent/flags.h"
#include "agent/session.h"
#include "agent/session_table.h"
#include "config/messages.h"
#include "config/settings.h"
#include "net/iplist.h"
#include "platform/socket.h"

namespace {

constexpr size_t kSessionStack = 256 * 1024;
// Parked threads kept after a burst; more than this end when their session does.
constexpr int kMostParkedThreads = 64;
// Descriptors left to the rest of the agent (log files, the files and programs of handlers) when
// the session limit is set from the descriptor limit.
constexpr int kOtherDescriptors = 64;
// Pause after running out of descriptors or memory with no connection to shed, so a pending
// connection does not spin the threads.
constexpr int kExhaustedPauseMilliseconds = 100;
// How long RetireListener waits for the threads in accept() to leave it.
constexpr auto kRetireWait = std::chrono::seconds(2);
// Rounds of the main loop: slow while some thread waits in accept(), fast while all are busy (how
// long a connection may wait behind requests that take long), and how long fast rounds go on
// after the threads were last seen all busy.
constexpr auto kSlowRound = std::chrono::milliseconds(1000);
constexpr auto kFastRound = std::chrono::milliseconds(20);
constexpr auto kFastRoundsFor = std::chrono::milliseconds(1000);

EventReport acceptErrors("Accept error: %s");
EventReport sessionLimitClosed("Session limit reached: a session waiting for its request closed");
EventReport sessionLimitRefused(
    "Session limit reached with every session at work: new connection closed");
EventReport threadFailures("Cannot start session thread: %s");

// The threads and the listener they share. Guarded by poolMutex.
struct Pool {
    int listener = -1;           // -1 while none is served
    unsigned generation = 0;     // raised whenever the listener is taken away
    int inAccept = 0;            // threads holding the listener's descriptor for accept()
    int inTurn = 0;              // threads accepting or serving without waiting for their peer
    int parked = 0;              // threads waiting to be called in
    int calledIn = 0;            // call-ins not yet taken up by a parked thread
    int threads = 0;             // session threads alive
    unsigned long accepted = 0;  // connections taken so far
    unsigned long acceptedBefore = 0;  // as the last round of the main loop saw it
    bool fastRounds = false;           // the main loop runs fast rounds
    std::chrono::steady_clock::time_point fastUntil{};
};

std::mutex poolMutex;
std::atomic<int> servedListener{-1};    // pool.listener, for ConnectionsPending without the lock
std::condition_variable listenerReady;  // a listener is served again
std::condition_variable acceptLeft;     // inAccept went down after the listener was taken away
std::condition_variable callIn;         // for parked threads
std::condition_variable roundDue;       // for the main loop
Pool pool;

// Threads in turn: one per processor. More would only take turns at sleeping in accept(), each
// connection waking one of them, where fewer find the next connection already waiting; measured
// on two processors, four threads in turn cost 40% more processor time per request than two.
int ThreadsInTurn() {
    static const int wanted = [] {
        long processors = sysconf(_SC_NPROCESSORS_ONLN);
        return processors < 1 ? 1 : (processors > 64 ? 64 : static_cast<int>(processors));
    }();
    return wanted;
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

// The connection filter: the peer's dotted text must equal an active entry.
bool Admitted(const TQDXSettings& settings, in_addr peer) {
    if (!settings.filteractive) return true;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer, text, sizeof text);
    return FilterAdmits(settings.filteractivelist, text);
}

// One accepted connection, from the filter to its close.
void TakeConnection(int sock, in_addr peer) {
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

// What to do after accept() failed on a listener still served.
void AcceptFailed(int listener, int error) {
    if (error == EINTR || Transient(error)) return;
    if (Exhausted(error)) {
        if (!ShedConnection(listener, acceptErrors, std::strerror(error)))
            poll(nullptr, 0, kExhaustedPauseMilliseconds);
        return;
    }
    showmessage("Accept fatal error: %s\n\n", LOCAL, msgFail, 1, std::strerror(error));
    EndProcess(4);
}

void* SessionThread(void*);

// Starts one more session thread, which comes in turn. Called with poolMutex held.
void StartThreadLocked() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kSessionStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, SessionThread, nullptr);
    pthread_attr_destroy(&attributes);
    if (rc == 0) {
        pool.threads++;
        pool.inTurn++;
    } else {
        threadFailures.Note(std::strerror(rc));
    }
}

// Brings one more thread in turn: a parked one, or a new one. Called with poolMutex held.
void CallInLocked() {
    if (pool.parked > pool.calledIn) {
        pool.calledIn++;
        pool.inTurn++;
        callIn.notify_one();
    } else {
        StartThreadLocked();
    }
}

// Waits for a connection. False when there was none to take (an error, or the listener went
// away); the caller simply asks again.
bool AcceptNext(int& sock, in_addr& peer) {
    int listener;
    unsigned generation;
    {
        std::unique_lock<std::mutex> lock(poolMutex);
        listenerReady.wait(lock, [] { return pool.listener >= 0; });
        listener = pool.listener;
        generation = pool.generation;
        pool.inAccept++;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    sock = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    int error = errno;
    bool served;
    bool wakeMainLoop = false;
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        pool.inAccept--;
        served = generation == pool.generation;
        if (sock >= 0) {
            pool.accepted++;
            // Nobody left in accept(): the main loop watches in fast rounds that connections
            // are still taken.
            if (pool.inAccept == 0 && !pool.fastRounds) {
                pool.fastRounds = true;
                pool.fastUntil = std::chrono::steady_clock::now() + kFastRoundsFor;
                wakeMainLoop = true;
            }
        }
    }
    if (wakeMainLoop) roundDue.notify_one();
    if (!served) acceptLeft.notify_all();
    if (sock >= 0) {
        peer = address.sin_addr;
        return true;
    }
    if (served) AcceptFailed(listener, error);
    return false;
}

// After a session: back to accept() when too few threads are in turn, else parked until called
// in. False when the thread is to end: enough others are parked already.
bool ReturnToTurn() {
    std::unique_lock<std::mutex> lock(poolMutex);
    pool.inTurn--;
    if (pool.inTurn < ThreadsInTurn()) {
        pool.inTurn++;
        return true;
    }
    if (pool.parked >= kMostParkedThreads) {
        pool.threads--;
        return false;
    }
    pool.parked++;
    callIn.wait(lock, [] { return pool.calledIn > 0; });
    pool.calledIn--;
    pool.parked--;
    return true;  // the caller counted it in turn
}

void* SessionThread(void*) {
    for (;;) {
        int sock;
        in_addr peer;
        if (!AcceptNext(sock, peer)) continue;
        TakeConnection(sock, peer);
        if (!ReturnToTurn()) return nullptr;
    }
}

}  // namespace

void ServeListener(int listener) {
    RefillReserve();
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        pool.listener = listener;
        servedListener.store(listener, std::memory_order_relaxed);
        while (pool.inTurn < ThreadsInTurn() && pool.threads < ThreadsInTurn()) {
            int before = pool.threads;
            StartThreadLocked();
            if (pool.threads == before) break;
        }
    }
    listenerReady.notify_all();
}

int RetireListener() {
    std::unique_lock<std::mutex> lock(poolMutex);
    int listener = pool.listener;
    if (listener < 0) return -1;
    pool.listener = -1;
    servedListener.store(-1, std::memory_order_relaxed);
    pool.generation++;
    WakeBlockedAccepts(listener);
    // A thread woken from accept() lets go of the descriptor at once; the bound only guards
    // against a system that would not wake it.
    if (!acceptLeft.wait_for(lock, kRetireWait, [] { return pool.inAccept == 0; })) return -1;
    return listener;
}

void TendSessionThreads() {
    RefillReserve();
    EventReport::FlushAll();
    std::unique_lock<std::mutex> lock(poolMutex);
    auto now = std::chrono::steady_clock::now();
    if (pool.listener >= 0 && pool.inAccept == 0) {
        // Every thread in turn is busy. Taking no connection for a whole round means they are
        // held up (long requests, or no thread could be started): one more comes in.
        if (pool.accepted == pool.acceptedBefore) CallInLocked();
        pool.fastUntil = now + kFastRoundsFor;
    }
    pool.acceptedBefore = pool.accepted;
    pool.fastRounds = now < pool.fastUntil;
    roundDue.wait_for(lock, pool.fastRounds ? kFastRound : kSlowRound);
}

void SessionWaitsForPeer() {
    std::lock_guard<std::mutex> lock(poolMutex);
    pool.inTurn--;
    if (pool.inTurn < ThreadsInTurn()) CallInLocked();
}

void SessionGoesOn() {
    std::lock_guard<std::mutex> lock(poolMutex);
    pool.inTurn++;
}

bool ConnectionsPending() {
    int listener = servedListener.load(std::memory_order_relaxed);
    if (listener < 0) return false;
    // The listener may have been taken away meanwhile: a wrong answer costs a thread call-in or a
    // short wait, nothing more.
    pollfd pending{listener, POLLIN, 0};
    return poll(&pending, 1, 0) > 0;
}
