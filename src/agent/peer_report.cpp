#include "agent/peer_report.h"

#include <arpa/inet.h>

#include <cstdio>
#include <ctime>

#include "agent/event_report.h"
#include "config/messages.h"

namespace {

constexpr long long kIntervalMs = 1000;
// Addresses whose refused logins are counted apart; a run from more addresses than this at once
// still logs each address's first refusal.
constexpr int kLoginPeers = 256;

long long MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

PeerReport& RefusedLogins() {
    // Never destroyed: session threads may still note a refusal while the process exits.
    static PeerReport* report =
        new PeerReport("Wrong password from %s", kLoginPeers,
                       [](const char* line, const PeerAddress& peer) { showloginfailure(line, peer); });
    return *report;
}

}  // namespace

PeerReport::PeerReport(const char* format, int peers, Sink sink)
    : format_(format), sink_(sink), entries_(static_cast<size_t>(peers > 0 ? peers : 1)) {}

void PeerReport::Note(const PeerAddress& peer) {
    NoteAt(peer, MonotonicMs());
}

void PeerReport::Flush() {
    FlushAt(MonotonicMs());
}

void PeerReport::NoteAt(const PeerAddress& peer, long long nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* entry = nullptr;
    Entry* oldest = &entries_[0];
    for (Entry& candidate : entries_) {
        if (candidate.used && candidate.peer == peer) {
            entry = &candidate;
            break;
        }
        if (!candidate.used) {
            if (oldest->used) oldest = &candidate;
        } else if (oldest->used && candidate.lastNoteMs < oldest->lastNoteMs) {
            oldest = &candidate;
        }
    }
    if (entry == nullptr) {
        // Forgotten with its count logged, so no refusal goes unreported.
        if (oldest->used && oldest->pending > 0) EmitLocked(*oldest, nowMs);
        *oldest = Entry{};
        oldest->used = true;
        oldest->peer = peer;
        entry = oldest;
    }
    entry->lastNoteMs = nowMs;
    entry->pending++;
    if (entry->lastLineMs < 0 || nowMs - entry->lastLineMs >= kIntervalMs)
        EmitLocked(*entry, nowMs);
}

void PeerReport::FlushAt(long long nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : entries_)
        if (entry.used && entry.pending > 0 && nowMs - entry.lastLineMs >= kIntervalMs)
            EmitLocked(entry, nowMs);
}

void PeerReport::EmitLocked(Entry& entry, long long nowMs) {
    char address[kPeerTextSize];
    entry.peer.Text(address);
    char line[160];
    FormatCountedLine(line, sizeof line, format_, address, entry.pending);
    sink_(line, entry.peer);
    entry.pending = 0;
    entry.lastLineMs = nowMs;
}

void NoteWrongPassword(const PeerAddress& peer) {
    RefusedLogins().Note(peer);
}

void FlushRefusedLogins() {
    RefusedLogins().Flush();
}
