// Scanning a growing text log for new lines that hold a string or satisfy an expression. The
// agent keeps nothing between checks: the caller passes where the previous check stopped and
// what the file looked like then (position, last size, last time) and gets the new values back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "foundation/string.h"
#include "handlers/textlog_match.h"

// One search filter of "TEST-TextLog2".
struct TTextLogFilter {
    String Text;           // the string to look for, or the expression
    int IsExpression = 0;  // 1: Text is an expression
    int CaseSensitive = 0;
    int WholeWord = 0;
};

// Scans `path` for one string (or expression, with useExpression) from `position`.
//
// Returns -1 on an error (reason in `message`: "File \"<name>\" not found", "Cannot open file",
// "fseek error"), 0 when no new line matched, otherwise the match value: the position before the
// matched line plus the matcher's result. position, lastSize and lastTime (whole numbers held in
// doubles) are read and updated; lastSize 0 means a first check, which only marks the end of
// the file. Without scanToEnd the first match is reported and the state stays right after it; with
// it the last match is. matchedLine gets at most the first LogScanLimits::maxLineBytes of the
// line; fileSize the file's size (-1 when it cannot be read).
double CheckFileForExpression(const char* path, const String& text, double& position,
                              double& lastSize, double& lastTime, int useExpression, int scanToEnd,
                              int caseSensitive, int wholeWord, String& matchedLine,
                              String& message, double& fileSize);

// The same with two filters: a line matches the first, or else (with useFilter2) the second.
// whichFilter becomes 1 when the first filter matched the reported line and 0 when the second
// did; it is left alone when no line matched.
double CheckFileForExpression2(const char* path, double& position, double& lastSize,
                               double& lastTime, const TTextLogFilter& filter1,
                               const TTextLogFilter& filter2, int useFilter2, int scanToEnd,
                               int& whichFilter, String& matchedLine, String& message,
                               double& fileSize);

// Sizes of one scan's buffers. A line longer than maxLineBytes is matched and reported on its
// first maxLineBytes bytes; its position still counts every byte.
struct LogScanLimits {
    size_t readBlock = 128 * 1024;
    size_t maxLineBytes = 1024 * 1024;
};

// What one pass over the lines of a file found.
struct LogScanResult {
    int64_t position = 0;    // in: the file offset the descriptor is at; out: after the last
                             // complete non-empty line consumed
    int64_t matchValue = 0;  // 0, or the position before the reported line plus its match result
    int filter = -1;         // index of the filter that matched the reported line
    String line;             // the reported line (at most maxLineBytes)
};

// Reads lines from `fd` (positioned at result.position) up to file offset `end` or the end of the
// file, whichever comes first. CR and LF both end a line; empty lines are skipped; an unfinished
// last line is left for the next check. A line matches the first of `filters` that matches it.
// Stops at the first match unless scanToEnd, in which case the last match is kept. A read error
// ends the pass like the end of the file.
void ScanLogLines(int fd, int64_t end, std::span<LogLineFilter* const> filters, bool scanToEnd,
                  const LogScanLimits& limits, LogScanResult& result);
