// Monitoring-plugin mode: "qdxctl check [-w RANGE] [-c RANGE] [--value NAME] COMMAND ...". One
// status line with performance data, and the exit codes 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
// Without -w and -c, TEST-ExternalPrg's exit code and TEST-ShellScript's scriptres: line are the
// state, as a plugin's would be.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "client/threshold.h"
#include "options.h"
#include "client/perf_data.h"
#include "request_words.h"

struct CheckResult {
    int state = kStateUnknown;
    std::string status;               // the status text, before any "|"
    std::vector<PerfDatum> perf;      // the performance data, parsed
    std::vector<std::string> output;  // the lines as printed: status | perfdata, long output
    nlohmann::ordered_json values = nlohmann::ordered_json::object();  // the reply's values

    // A result of qdxctl's own making: "QDX COMMAND STATE - text | perfdata".
    static CheckResult Made(const std::string& command, int state, const std::string& text,
                            std::vector<PerfDatum> perf = {});
};

// Refuses (UNKNOWN, exit 3) thresholds on a value `request` cannot return, and text-log checks
// without --state.
void ValidateCheck(const Request& request, const CheckOptions& check);
// Judges one reply.
CheckResult EvaluateCheck(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply);
// Prints a result as text, or as one JSON object with --json.
void PrintCheckResult(const CheckResult& result, const Options& options, const Request& request,
                      const QdxEndpoint& endpoint);
// The result as one JSON object: host, port, command, state, exit, status, perfdata, output,
// values.
nlohmann::ordered_json CheckJson(const CheckResult& result, const Request& request,
                                 const QdxEndpoint& endpoint);

// The state word ("OK", "WARNING", ...).
const char* StateWord(int state);
// The state of a failed exchange: --unreachable's for a refused connection, a time-out or a
// connection closed without a reply (CRITICAL for a time-out with --critical-on-timeout),
// UNKNOWN for the rest.
CheckResult NoReplyResult(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply);
// The state of a reply other than "200": "301" and "300" CRITICAL, the others UNKNOWN.
CheckResult RefusalResult(const Request& request, const QdxReplyText& reply);

// True for the text-log tests, which need --state.
bool IsTextLog(const Request& request);
// The text-log check with its state file (textlog_check.cpp).
CheckResult RunTextLogCheck(const Options& options, const CheckOptions& check, Request request);
