// Log lines for events that hostile peers can cause thousands of times a second (accept errors,
// connections closed to keep the agent within its bounds). The first occurrence is logged at once;
// later ones at most once a second, as one line with their count, so a flood costs a line a second
// instead of filling the disk.
#pragma once

#include <cstddef>
#include <mutex>

// The line of a report into `out` (`size` bytes): `format` with `detail` for its one "%s", then
// " (N times)" when `count` is above 1, and the line end; cut to fit.
void FormatCountedLine(char* out, size_t size, const char* format, const char* detail, int count);

class EventReport {
public:
    // Receives each line to log; the default hands it to showmessage as a failure (no peer).
    using Sink = void (*)(const char* line);

    // `format` is the message without its line end, with at most one "%s" for the detail given to
    // Note. A line standing for more than one occurrence ends in " (N times)".
    explicit EventReport(const char* format, Sink sink = nullptr);
    EventReport(const EventReport&) = delete;
    EventReport& operator=(const EventReport&) = delete;
    ~EventReport();

    // One occurrence; `detail` fills the "%s" (the latest detail is the one shown). Logs at once
    // when no line has gone out in the last second. Safe from any thread.
    void Note(const char* detail = nullptr);
    // Logs the occurrences held back, once a second has passed since the last line.
    void Flush();
    // Flush() of every report of the process; the main loop calls it every second.
    static void FlushAll();

    // The same with the clock given, in milliseconds, for tests.
    void NoteAt(long long nowMs, const char* detail = nullptr);
    void FlushAt(long long nowMs);

private:
    void EmitLocked(long long nowMs);

    const char* format_;
    Sink sink_;
    std::mutex mutex_;
    long long lastLineMs_ = -1;  // -1: nothing logged yet
    int pending_ = 0;            // occurrences not yet logged
    char detail_[128] = {};
    EventReport* next_ = nullptr;  // every report of the process, for FlushAll
};
