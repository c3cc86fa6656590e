// Monitoring-plugin mode: "qdxctl check [-w RANGE] [-c RANGE] [--value NAME] COMMAND ...". One
// status line with performance data, and the exit codes 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
#pragma once

#include <string>
#include <vector>

#include "client/threshold.h"
#include "options.h"
#include "request_words.h"

constexpr int kStateOk = 0;
constexpr int kStateWarning = 1;
constexpr int kStateCritical = 2;
constexpr int kStateUnknown = 3;

struct CheckOptions {
    ThresholdRange warning;
    ThresholdRange critical;
    std::string value;      // --value; empty for the command's main value
    std::string stateFile;  // --state, for text-log checks
    bool criticalOnTimeout = false;
};

struct CheckResult {
    int state = kStateUnknown;
    std::string line;  // "QDX COMMAND STATE - text | perfdata"
};

// Reads the check options from the front of `words` and leaves the command and its words there.
// A problem ends qdxctl with UNKNOWN (exit 3) and says why.
CheckOptions ParseCheckOptions(std::vector<std::string>& words);
// Refuses (UNKNOWN, exit 3) thresholds on a value `request` cannot return, and text-log checks
// without --state.
void ValidateCheck(const Request& request, const CheckOptions& check);
// Judges one reply.
CheckResult EvaluateCheck(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply);
// The check against one agent: prints the status line and returns the state.
int RunCheck(const Options& options, const CheckOptions& check, const Request& request);

// The state word ("OK", "WARNING", ...).
const char* StateWord(int state);
// The state of a failed exchange: UNKNOWN, or CRITICAL for a time-out with --critical-on-timeout.
CheckResult NoReplyResult(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply);
// The state of a reply other than "200": "301" and "300" CRITICAL, the others UNKNOWN.
CheckResult RefusalResult(const Request& request, const QdxReplyText& reply);
// One performance-data item: 'label'=value[UOM];warn;crit;min;max.
std::string PerfItem(const std::string& label, const std::string& number, const char* unit,
                     const CheckOptions* thresholds);

// True for the text-log tests, which need --state.
bool IsTextLog(const Request& request);
// The text-log check with its state file (textlog_check.cpp).
CheckResult RunTextLogCheck(const Options& options, const CheckOptions& check, Request request);
