// Log lines about one kind of event, kept apart per peer: a password-guessing run from one address
// gives a line at once and then at most one a second with the count, as the bounds' lines do
// (event_report.h), and never hides the runs of other addresses. The table of peers is bounded:
// when it is full, the peer noted least recently is forgotten (its held-back count is logged
// first), so a flood from many addresses costs a fixed amount of memory.
#pragma once

#include <netinet/in.h>

#include <mutex>
#include <vector>

#include "foundation/peer_address.h"

class PeerReport {
public:
    // Receives each line to log, with the peer it is about.
    using Sink = void (*)(const char* line, const PeerAddress& peer);

    // `format` is the line without its line end, with one "%s" for the peer's address. A
    // line standing for more than one occurrence ends in " (N times)". `peers` is the size of the
    // table.
    PeerReport(const char* format, int peers, Sink sink);
    PeerReport(const PeerReport&) = delete;
    PeerReport& operator=(const PeerReport&) = delete;

    // One occurrence from `peer`: logged at once unless a line about it went out in the last
    // second. Safe from any thread.
    void Note(const PeerAddress& peer);
    // Logs the counts held back for peers whose last line is a second old or more; the main loop
    // calls it every second.
    void Flush();

    // The same with the clock given, in milliseconds, for tests.
    void NoteAt(const PeerAddress& peer, long long nowMs);
    void FlushAt(long long nowMs);

private:
    struct Entry {
        PeerAddress peer;
        long long lastLineMs = -1;  // -1: nothing logged about it yet
        long long lastNoteMs = 0;   // for forgetting the least recent peer
        int pending = 0;            // occurrences not yet logged
        bool used = false;
    };
    void EmitLocked(Entry& entry, long long nowMs);

    const char* format_;
    Sink sink_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Refused logins: "Wrong password from <address>" in the failure log, at most once a second per
// peer, copied to the system log as authentication messages when "logsyslog" is on.
void NoteWrongPassword(const PeerAddress& peer);
// Flush() of the refused logins; the main loop calls it every second.
void FlushRefusedLogins();
