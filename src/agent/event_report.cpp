#include "agent/event_report.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/messages.h"

namespace {

constexpr long long kIntervalMs = 1000;

std::mutex registryMutex;
EventReport* registry = nullptr;

long long MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void ToFailureLog(const char* line) {
    showmessage("%s", LOCAL, msgFail, 1, line);
}

}  // namespace

EventReport::EventReport(const char* format, Sink sink)
    : format_(format), sink_(sink != nullptr ? sink : ToFailureLog) {
    std::lock_guard<std::mutex> lock(registryMutex);
    next_ = registry;
    registry = this;
}

EventReport::~EventReport() {
    std::lock_guard<std::mutex> lock(registryMutex);
    for (EventReport** p = &registry; *p != nullptr; p = &(*p)->next_)
        if (*p == this) {
            *p = next_;
            break;
        }
}

void EventReport::Note(const char* detail) {
    NoteAt(MonotonicMs(), detail);
}

void EventReport::Flush() {
    FlushAt(MonotonicMs());
}

void EventReport::FlushAll() {
    std::lock_guard<std::mutex> lock(registryMutex);
    for (EventReport* report = registry; report != nullptr; report = report->next_) report->Flush();
}

void EventReport::NoteAt(long long nowMs, const char* detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_++;
    if (detail != nullptr) {
        std::strncpy(detail_, detail, sizeof detail_ - 1);
        detail_[sizeof detail_ - 1] = '\0';
    }
    if (lastLineMs_ < 0 || nowMs - lastLineMs_ >= kIntervalMs) EmitLocked(nowMs);
}

void EventReport::FlushAt(long long nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_ > 0 && nowMs - lastLineMs_ >= kIntervalMs) EmitLocked(nowMs);
}

void FormatCountedLine(char* out, size_t size, const char* format, const char* detail, int count) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(out, size, format, detail);
#pragma GCC diagnostic pop
    if (n < 0) n = 0;
    if (n >= static_cast<int>(size)) n = static_cast<int>(size) - 1;
    if (count > 1)
        std::snprintf(out + n, size - static_cast<size_t>(n), " (%d times)\n", count);
    else
        std::snprintf(out + n, size - static_cast<size_t>(n), "\n");
}

void EventReport::EmitLocked(long long nowMs) {
    char message[256];
    FormatCountedLine(message, sizeof message, format_, detail_, pending_);
    sink_(message);
    pending_ = 0;
    lastLineMs_ = nowMs;
}
