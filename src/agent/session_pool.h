// The threads that take connections and serve them, one thread per connection from accept() to
// close. A few threads take turns in accept() on the listener, as many as the processors can keep
// busy; each serves the connection it takes to its end and goes back to accept(). A busy agent
// thus takes connections that are already waiting, with their request already in, without a
// thread going to sleep in between. The other threads are parked, for a few seconds at most. A
// thread whose peer keeps it waiting hands its turn to a parked thread (or a new one), so slow or
// idle peers never leave the listener unattended; and when the threads in turn are all held up by
// long requests, the next round of the owner's loop calls one more in.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "foundation/peer_address.h"

class SessionPool {
public:
    // Serves one accepted connection to its end, closing `sock`. Runs on a pool thread.
    using Serve = void (*)(int sock, const PeerAddress& peer);

    // `threadsInTurn`: how many threads take turns in accept() at most (1 or more). Threads are
    // detached and use the pool for good: a pool is never destroyed.
    SessionPool(Serve serve, int threadsInTurn);
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    // Lets the threads accept on `listener`, starting those in turn when there are none yet. One
    // listener at a time: RetireListener() the previous one first.
    void ServeListener(int listener);

    // Takes the listener away (the threads waiting in accept() on it are woken) and returns it
    // once no thread can touch it any more, so the caller may close it. Returns -1 when there is
    // none, or when a thread could not be woken in time (the listener must then stay open). A
    // thread serving a connection goes on serving it.
    int RetireListener();

    // One round of the owner's loop: calls one more thread in when the threads in turn have taken
    // no connection since the last round while none waits in accept(), then waits until the next
    // round is due: `slowRound` while some thread waits in accept(), a few milliseconds while all
    // are busy (and for a second after), or until WakeOwner().
    void Tend(std::chrono::milliseconds slowRound);

    // Ends the owner's current wait in Tend at once (or its next one, when it is not waiting).
    void WakeOwner();

    // The calling thread's session is about to wait for its peer or for anything else outside
    // (a child program, another host), or goes on after such a wait. While it waits, its turn goes
    // to another thread. Calls nest; on threads that serve no connection of this pool they do
    // nothing.
    void WaitsForPeer();
    void GoesOn();

    // True when connections wait on the listener to be taken.
    bool ConnectionsPending() const;

    // The pool whose connection the calling thread serves, or null.
    static SessionPool* Current();

    // Session threads alive, and of them parked (for tests).
    int Threads();
    int Parked();

private:
    static void* ThreadMain(void* pool);
    bool AcceptNext(int& sock, PeerAddress& peer);
    bool ReturnToTurn();
    void StartThreadLocked();
    void CallInLocked();
    void AcceptFailed(int listener, int error);

    const Serve serve_;
    const int threadsInTurn_;

    std::mutex mutex_;
    std::condition_variable listenerReady_;  // a listener is served again
    std::condition_variable acceptLeft_;     // inAccept_ went down after the listener went away
    std::condition_variable callIn_;         // for parked threads
    std::condition_variable roundDue_;       // for the owner's loop
    // Guarded by mutex_.
    int listener_ = -1;           // -1 while none is served
    unsigned generation_ = 0;     // raised whenever the listener is taken away
    int inAccept_ = 0;            // threads holding the listener's descriptor for accept()
    int inTurn_ = 0;              // threads accepting or serving without waiting for their peer
    int parked_ = 0;              // threads waiting to be called in
    int calledIn_ = 0;            // call-ins not yet taken up by a parked thread
    int threads_ = 0;             // threads alive
    unsigned long accepted_ = 0;  // connections taken so far
    unsigned long acceptedBefore_ = 0;  // as the last round saw it
    bool fastRounds_ = false;
    bool ownerWoken_ = false;
    std::chrono::steady_clock::time_point fastUntil_{};
    // listener_, readable without the lock by ConnectionsPending.
    std::atomic<int> servedListener_{-1};
};
