#include "agent/session_pool.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "agent/descriptor_reserve.h"
#include "agent/event_report.h"
#include "agent/flags.h"
#include "config/messages.h"
#include "platform/socket.h"

namespace {

constexpr size_t kThreadStack = 256 * 1024;
// Parked threads kept after a burst; more than this end when their session does, and a parked
// thread that nobody calls in for this long ends too, so an agent back at rest holds no more
// threads than it started with.
constexpr int kMostParkedThreads = 64;
constexpr auto kParkedFor = std::chrono::seconds(5);
// Pause after running out of descriptors or memory with no connection to shed, so a pending
// connection does not spin the threads.
constexpr int kExhaustedPauseMilliseconds = 100;
// How long RetireListener waits for the threads in accept() to leave it.
constexpr auto kRetireWait = std::chrono::seconds(2);
// Rounds while every thread in turn is busy (how long a connection may wait behind requests that
// take long), and how long they go on after the threads were last seen all busy.
constexpr auto kFastRound = std::chrono::milliseconds(20);
constexpr auto kFastRoundsFor = std::chrono::milliseconds(1000);

EventReport acceptErrors("Accept error: %s");

// The pool whose connection the calling thread serves (null on other threads), and how many waits
// for the outside it is in: only the outermost one gives its turn away.
thread_local SessionPool* servingPool = nullptr;
thread_local int waitDepth = 0;
EventReport threadFailures("Cannot start session thread: %s");

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

}  // namespace

SessionPool::SessionPool(Serve serve, int threadsInTurn)
    : serve_(serve), threadsInTurn_(threadsInTurn > 0 ? threadsInTurn : 1) {}

void SessionPool::ServeListener(int listener) {
    RefillReserve();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener_ = listener;
        servedListener_.store(listener, std::memory_order_relaxed);
        while (inTurn_ < threadsInTurn_) {
            int before = threads_;
            StartThreadLocked();
            if (threads_ == before) break;  // logged; the next round tries again
        }
    }
    listenerReady_.notify_all();
}

int SessionPool::RetireListener() {
    std::unique_lock<std::mutex> lock(mutex_);
    int listener = listener_;
    if (listener < 0) return -1;
    listener_ = -1;
    servedListener_.store(-1, std::memory_order_relaxed);
    generation_++;
    WakeBlockedAccepts(listener);
    // A thread woken from accept() lets go of the descriptor at once; the bound only guards
    // against a system that would not wake it.
    if (!acceptLeft_.wait_for(lock, kRetireWait, [this] { return inAccept_ == 0; })) return -1;
    return listener;
}

void SessionPool::Tend(std::chrono::milliseconds slowRound) {
    RefillReserve();
    std::unique_lock<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (listener_ >= 0 && inAccept_ == 0) {
        // Every thread in turn is busy. Taking no connection for a whole round means they are
        // held up (long requests, or no thread could be started): one more comes in.
        if (accepted_ == acceptedBefore_) CallInLocked();
        fastUntil_ = now + kFastRoundsFor;
    }
    acceptedBefore_ = accepted_;
    fastRounds_ = now < fastUntil_;
    roundDue_.wait_for(lock, fastRounds_ ? kFastRound : slowRound, [this] { return ownerWoken_; });
    ownerWoken_ = false;
}

void SessionPool::WakeOwner() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ownerWoken_ = true;
    }
    roundDue_.notify_one();
}

void SessionPool::WaitsForPeer() {
    if (servingPool != this || waitDepth++ > 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    inTurn_--;
    if (inTurn_ < threadsInTurn_) CallInLocked();
}

void SessionPool::GoesOn() {
    if (servingPool != this || --waitDepth > 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    inTurn_++;
}

SessionPool* SessionPool::Current() {
    return servingPool;
}

bool SessionPool::ConnectionsPending() const {
    int listener = servedListener_.load(std::memory_order_relaxed);
    if (listener < 0) return false;
    // The listener may have been taken away meanwhile: a wrong answer costs a thread called in
    // or a short wait, nothing more.
    pollfd pending{listener, POLLIN, 0};
    return poll(&pending, 1, 0) > 0;
}

int SessionPool::Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

int SessionPool::Parked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return parked_;
}

void* SessionPool::ThreadMain(void* arg) {
    auto* pool = static_cast<SessionPool*>(arg);
    for (;;) {
        int sock;
        PeerAddress peer;
        if (!pool->AcceptNext(sock, peer)) continue;
        servingPool = pool;
        pool->serve_(sock, peer);
        servingPool = nullptr;
        if (!pool->ReturnToTurn()) return nullptr;
    }
}

void SessionPool::StartThreadLocked() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kThreadStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, ThreadMain, this);
    pthread_attr_destroy(&attributes);
    if (rc == 0) {
        threads_++;
        inTurn_++;
    } else {
        threadFailures.Note(std::strerror(rc));
    }
}

void SessionPool::CallInLocked() {
    if (parked_ > calledIn_) {
        calledIn_++;
        inTurn_++;
        callIn_.notify_one();
    } else {
        StartThreadLocked();
    }
}

bool SessionPool::AcceptNext(int& sock, PeerAddress& peer) {
    int listener;
    unsigned generation;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        listenerReady_.wait(lock, [this] { return listener_ >= 0; });
        listener = listener_;
        generation = generation_;
        inAccept_++;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    sock = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    int error = errno;
    bool served;
    bool wakeOwner = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inAccept_--;
        served = generation == generation_;
        if (sock >= 0) {
            accepted_++;
            // Nobody left in accept(): the owner's loop watches in fast rounds that connections
            // are still taken.
            if (inAccept_ == 0 && !fastRounds_) {
                fastRounds_ = true;
                fastUntil_ = std::chrono::steady_clock::now() + kFastRoundsFor;
                wakeOwner = true;
            }
        }
    }
    if (wakeOwner) roundDue_.notify_one();
    if (!served) acceptLeft_.notify_all();
    if (sock >= 0) {
        peer = PeerAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&address), length);
        return true;
    }
    if (served) AcceptFailed(listener, error);
    return false;
}

bool SessionPool::ReturnToTurn() {
    std::unique_lock<std::mutex> lock(mutex_);
    inTurn_--;
    if (inTurn_ < threadsInTurn_) {
        inTurn_++;
        return true;
    }
    if (parked_ >= kMostParkedThreads) {
        threads_--;
        return false;
    }
    parked_++;
    bool called = callIn_.wait_for(lock, kParkedFor, [this] { return calledIn_ > 0; });
    parked_--;
    if (!called) {
        threads_--;
        return false;
    }
    calledIn_--;
    return true;  // counted in turn by whoever called it in
}

void SessionPool::AcceptFailed(int listener, int error) {
    if (error == EINTR || Transient(error)) return;
    if (Exhausted(error)) {
        if (!ShedConnection(listener, acceptErrors, std::strerror(error)))
            poll(nullptr, 0, kExhaustedPauseMilliseconds);
        return;
    }
    showmessage("Accept fatal error: %s\n\n", LOCAL, msgFail, 1, std::strerror(error));
    EndProcess(4);
}
