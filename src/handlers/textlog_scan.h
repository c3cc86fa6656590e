// Scanning a growing text log for new lines that hold a string or satisfy an expression. The
// agent keeps nothing between checks: the caller passes where the previous check stopped and
// what the file looked like then (position, last size, last time) and gets the new values back.
#pragma once

#include "fileutils/fs_guard.h"
#include "foundation/string.h"
#include "handlers/textlog_lines.h"

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
// it the last match is. Every line is matched over its whole length; matchedLine gets its first
// LogScanLimits::reportBytes (1024) bytes. fileSize is the file's size (-1 when it cannot be read).
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

// Opens a log for a scan: three attempts, each failed one followed by a second's pause. Only a
// regular file will do. The descriptor is close-on-exec and never blocks (a read that would is a
// failed read, which ends a scan), and a terminal named here never becomes the agent's
// controlling terminal. Returns the descriptor, or -1 after the third failure, or at once when the
// log's file system does not answer (errno ETIMEDOUT). `fs`, when given, receives the file system
// the log is on.
int OpenLog(const char* path, TFsTarget* fs = nullptr);
