// The line pass of a text-log scan: new lines read block by block from a descriptor and matched
// against the scan's filters, in bounded memory whatever the lines' length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "foundation/string.h"
#include "handlers/textlog_match.h"

// Sizes of one pass's buffers; they change what the pass holds, never what it finds.
struct LogScanLimits {
    size_t readBlock = 128 * 1024;
    // A line of up to this many bytes is matched where it lies in the buffer. A longer one is
    // matched piece by piece as it streams through, keeping only the bytes the search texts
    // need again at a piece's end (their length, one more on each side for whole words).
    size_t lineWindow = 128 * 1024;
    // Bytes of the reported line that are kept: the reply sends at most this many.
    size_t reportBytes = 1024;
};

// What one pass over the lines of a file found.
struct LogScanResult {
    int64_t position = 0;    // in: the file offset the descriptor is at; out: after the last
                             // complete non-empty line consumed
    int64_t matchValue = 0;  // 0, or the position before the reported line plus its match result
    int filter = -1;         // index of the filter that matched the reported line
    String line;             // the reported line's first reportBytes bytes
    size_t heldBytes = 0;    // out: the bytes of buffers the pass allocated
};

// Reads lines from `fd` (positioned at result.position) up to file offset `end` or the end of the
// file, whichever comes first. CR and LF both end a line; empty lines are skipped; an unfinished
// last line is left for the next check. A line matches the first of `filters` that matches it,
// over its whole length. Stops at the first match unless scanToEnd, in which case the last match
// is kept. A read error ends the pass like the end of the file.
void ScanLogLines(int fd, int64_t end, std::span<LogLineFilter* const> filters, bool scanToEnd,
                  const LogScanLimits& limits, LogScanResult& result);
