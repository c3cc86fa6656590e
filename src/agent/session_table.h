// The bounds that keep hostile peers from taking the whole agent: how many sessions run at once,
// how much memory their partial requests pin together, and how many of them read the rest of their
// request at once. The table knows every running session, and which of them still wait for a
// complete request in the order they began; to keep a bound it closes the session that has waited
// longest, so a peer that trickles its bytes can never push out one that sends its request
// promptly.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

// A session as the table sees it. Owned by the session's thread, which keeps it alive from Admit to
// Leave; the fields are the table's.
struct SessionEntry {
    explicit SessionEntry(int socket) : sock(socket) {}
    SessionEntry(const SessionEntry&) = delete;
    SessionEntry& operator=(const SessionEntry&) = delete;

    const int sock;
    SessionEntry* older = nullptr;  // neighbours in the list of sessions still waiting
    SessionEntry* newer = nullptr;
    size_t buffered = 0;   // bytes of its partial request
    bool waiting = false;  // no complete request yet
    bool closed = false;   // closed by the table: the session ends at once
    // Reading turns: the queue of sessions waiting for one, and whether this one holds one.
    SessionEntry* aheadForTurn = nullptr;
    SessionEntry* behindForTurn = nullptr;
    bool queuedForTurn = false;
    bool hasTurn = false;
    std::condition_variable turnGiven;  // for its own thread, queued for a turn
};

class SessionTable {
public:
    // `memoryBound`: bytes all partial requests may pin together. `readingTurns`: how many sessions
    // may read the rest of a partial request at once (1 or more).
    SessionTable(size_t memoryBound, int readingTurns)
        : memoryBound_(memoryBound), freeTurns_(readingTurns > 0 ? readingTurns : 1) {}
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;

    // Counts a new session in, waiting for its request. When `limit` sessions run already, the
    // sessions that have waited longest without a complete request are closed (their sockets shut
    // down, which wakes their threads) until there is room; `closed` says how many. Returns false,
    // counting nothing in, when every running session is working on a complete request.
    bool Admit(SessionEntry& entry, int limit, int& closed);

    // The partial request of `entry` has grown to `bytes`. When all partial requests together pin
    // more than the bound, the oldest that hold bytes are closed until they fit; returns false when
    // `entry` itself is one of them (or was closed meanwhile): the session ends. `closed` counts
    // the sessions closed, `entry` included.
    bool Buffer(SessionEntry& entry, size_t bytes, int& closed);

    // A complete request has arrived: the session no longer waits and pins no partial request.
    // False when it was closed to make room meanwhile; the session then ends.
    bool StartWorking(SessionEntry& entry);

    // A session that has handed its accept turn over reads the rest of its request in reading
    // turns, one receive per turn, given in the order they were asked for. So a flood of large
    // partial requests keeps a bounded share of the processors, and the threads that take new
    // connections and answer complete requests have the rest. Waits for a turn; false, with no
    // turn taken, when the session is closed (meanwhile): it ends. GiveBackTurn after each
    // receive.
    bool TakeReadingTurn(SessionEntry& entry);
    void GiveBackTurn(SessionEntry& entry);

    // The session ends; after this its thread may close its socket.
    void Leave(SessionEntry& entry);

    int Running();           // sessions counted in and not closed by the table
    size_t BufferedBytes();  // what all partial requests pin together
    int QueuedForTurn();     // sessions waiting for a reading turn

private:
    void Unlink(SessionEntry& entry);
    // Shuts the session's socket down and counts it out. The owner cannot close the socket
    // meanwhile: Leave takes the same lock. A session queued for a reading turn leaves the queue.
    void CloseLocked(SessionEntry& entry);
    void LeaveTurnQueue(SessionEntry& entry);
    void PassTurnLocked(SessionEntry& entry);

    const size_t memoryBound_;
    std::mutex mutex_;
    int running_ = 0;
    size_t buffered_ = 0;
    SessionEntry* oldest_ = nullptr;  // the waiting list, oldest first
    SessionEntry* newest_ = nullptr;
    int freeTurns_;
    SessionEntry* firstForTurn_ = nullptr;  // the queue for reading turns, first come first
    SessionEntry* lastForTurn_ = nullptr;
};
