// Text-log expressions that can match no line (they do not convert, or their operators and operands
// do not fit together) are answered as no match, which a server may rely on; the reason goes to
// the failure log, so that an administrator sees why a check never fires. The same expression text
// is logged once a minute at most, with a bounded table of the texts logged recently.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "foundation/string.h"
#include "protocol/reply.h"

// Notes on `reply` (for the failure log, with the peer) why `expr` matches no line, unless the
// same text was noted within the last minute; nothing for an expression that can match.
void NoteUnusableExpression(const String& expr, QDXReply& reply);

// Texts seen recently, each let through once per interval. When the table is full the text seen
// least recently is forgotten. Texts are told apart by a 64-bit digest. Safe from any thread.
class RecentTexts {
public:
    RecentTexts(int capacity, long long intervalMs);
    // True when `text` was not let through in the last interval before `nowMs` (milliseconds).
    bool DueAt(const String& text, long long nowMs);

private:
    struct Entry {
        uint64_t digest = 0;
        long long lastMs = 0;
        bool used = false;
    };
    long long intervalMs_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
};
