#include "handlers/refused_expressions.h"

#include <ctime>

#include "config/messages.h"
#include "expr/compiled_expression.h"

namespace {

constexpr int kRecentExpressions = 64;
constexpr long long kExpressionIntervalMs = 60 * 1000;
// The expression as the log shows it: enough to recognise it.
constexpr int kShownBytes = 200;

long long MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// FNV-1a over the bytes.
uint64_t Digest(const String& text) {
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < text.Length(); i++) {
        hash ^= static_cast<unsigned char>(text.Data()[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

RecentTexts::RecentTexts(int capacity, long long intervalMs)
    : intervalMs_(intervalMs), entries_(static_cast<size_t>(capacity > 0 ? capacity : 1)) {}

bool RecentTexts::DueAt(const String& text, long long nowMs) {
    const uint64_t digest = Digest(text);
    std::lock_guard<std::mutex> lock(mutex_);
    Entry* oldest = &entries_[0];
    for (Entry& entry : entries_) {
        if (entry.used && entry.digest == digest) {
            if (nowMs - entry.lastMs < intervalMs_) return false;
            entry.lastMs = nowMs;
            return true;
        }
        if (!oldest->used) continue;
        if (!entry.used || entry.lastMs < oldest->lastMs) oldest = &entry;
    }
    *oldest = Entry{digest, nowMs, true};
    return true;
}

void NoteUnusableExpression(const String& expr, QDXReply& reply) {
    static RecentTexts* recent = new RecentTexts(kRecentExpressions, kExpressionIntervalMs);
    String reason;
    if (CheckExpression(expr, reason) || !recent->DueAt(expr, MonotonicMs())) return;
    String shown = expr.Copy(1, kShownBytes);
    if (expr.Length() > kShownBytes) shown += "...";
    reply.NoteFailure(String("Text-log expression matches no line (") +
                      LogSafe(reason.Copy(1, kShownBytes)) + "): " + LogSafe(shown));
}
