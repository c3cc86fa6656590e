#include "agent/session_table.h"

#include <sys/socket.h>

bool SessionTable::Admit(SessionEntry& entry, int limit, int& closed) {
    closed = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    while (running_ >= limit) {
        if (oldest_ == nullptr) return false;
        CloseLocked(*oldest_);
        closed++;
    }
    running_++;
    entry.waiting = true;
    entry.older = newest_;
    entry.newer = nullptr;
    if (newest_ != nullptr)
        newest_->newer = &entry;
    else
        oldest_ = &entry;
    newest_ = &entry;
    return true;
}

bool SessionTable::Buffer(SessionEntry& entry, size_t bytes, int& closed) {
    closed = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry.closed || !entry.waiting) return !entry.closed;
    buffered_ = buffered_ - entry.buffered + bytes;
    entry.buffered = bytes;
    while (buffered_ > memoryBound_) {
        SessionEntry* victim = oldest_;
        while (victim->buffered == 0) victim = victim->newer;  // `entry` holds bytes: one is found
        CloseLocked(*victim);
        closed++;
    }
    return !entry.closed;
}

bool SessionTable::StartWorking(SessionEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry.closed) return false;
    if (entry.waiting) Unlink(entry);
    return true;
}

bool SessionTable::TakeReadingTurn(SessionEntry& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (entry.closed) return false;
    if (freeTurns_ > 0 && firstForTurn_ == nullptr) {
        freeTurns_--;
        entry.hasTurn = true;
        return true;
    }
    entry.queuedForTurn = true;
    entry.aheadForTurn = lastForTurn_;
    entry.behindForTurn = nullptr;
    (lastForTurn_ != nullptr ? lastForTurn_->behindForTurn : firstForTurn_) = &entry;
    lastForTurn_ = &entry;
    // Left by a turn given (hasTurn) or by the session's close.
    entry.turnGiven.wait(lock, [&entry] { return !entry.queuedForTurn; });
    if (entry.hasTurn && entry.closed) PassTurnLocked(entry);
    return entry.hasTurn;
}

void SessionTable::GiveBackTurn(SessionEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry.hasTurn) PassTurnLocked(entry);
}

void SessionTable::PassTurnLocked(SessionEntry& entry) {
    entry.hasTurn = false;
    SessionEntry* next = firstForTurn_;
    if (next == nullptr) {
        freeTurns_++;
        return;
    }
    LeaveTurnQueue(*next);
    next->hasTurn = true;
    next->turnGiven.notify_one();
}

void SessionTable::LeaveTurnQueue(SessionEntry& entry) {
    (entry.aheadForTurn != nullptr ? entry.aheadForTurn->behindForTurn : firstForTurn_) =
        entry.behindForTurn;
    (entry.behindForTurn != nullptr ? entry.behindForTurn->aheadForTurn : lastForTurn_) =
        entry.aheadForTurn;
    entry.aheadForTurn = entry.behindForTurn = nullptr;
    entry.queuedForTurn = false;
}

void SessionTable::Leave(SessionEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry.hasTurn) PassTurnLocked(entry);
    if (entry.closed) return;  // counted out when it was closed
    if (entry.waiting) Unlink(entry);
    running_--;
    entry.closed = true;
}

int SessionTable::Running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

size_t SessionTable::BufferedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffered_;
}

int SessionTable::QueuedForTurn() {
    std::lock_guard<std::mutex> lock(mutex_);
    int queued = 0;
    for (SessionEntry* entry = firstForTurn_; entry != nullptr; entry = entry->behindForTurn)
        queued++;
    return queued;
}

void SessionTable::Unlink(SessionEntry& entry) {
    (entry.older != nullptr ? entry.older->newer : oldest_) = entry.newer;
    (entry.newer != nullptr ? entry.newer->older : newest_) = entry.older;
    entry.older = entry.newer = nullptr;
    buffered_ -= entry.buffered;
    entry.buffered = 0;
    entry.waiting = false;
}

void SessionTable::CloseLocked(SessionEntry& entry) {
    Unlink(entry);
    running_--;
    entry.closed = true;
    shutdown(entry.sock, SHUT_RDWR);
    if (entry.queuedForTurn) {
        LeaveTurnQueue(entry);
        entry.turnGiven.notify_one();
    }
}
