// The text-log check: carries the agent's position, size and time between calls in a state file,
// so that each call reports only the lines written since the previous one. The agent reports one
// match per request: a call asks again while the agent reports another, for as long as its
// time-out (-t) allows, and keeps the state at the last reply it read, so that a call cut short
// loses no line and counts none twice.
#include <chrono>
#include <string>

#include "check.h"
#include "client/reply_values.h"
#include "output.h"
#include "state_file.h"
#include "terminal_text.h"

namespace {

using Clock = std::chrono::steady_clock;

void SetLine(const Request& request, std::vector<std::string>& lines, const char* name,
             const std::string& value) {
    const ParamSpec* param = FindParam(*request.spec, name);
    int position = WirePosition(*request.spec, *param, lines);
    if (lines.size() < static_cast<size_t>(position)) lines.resize(static_cast<size_t>(position));
    lines[static_cast<size_t>(position) - 1] = value;
}

std::string Shown(const std::string& line) {
    std::string shown;
    for (char c : line.substr(0, 200)) shown += c == '|' ? ' ' : c;
    return "\"" + TerminalText(shown) + "\"";
}

std::string Value(const ReplyValues& values, const char* name) {
    const NamedValue* value = values.Find(name);
    return value != nullptr ? value->text : "";
}

int RemainingMs(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

CheckResult Unknown(const Request& request, const std::string& text) {
    return CheckResult::Made(request.command, kStateUnknown, text);
}

}  // namespace

CheckResult RunTextLogCheck(const Options& options, const CheckOptions& check, Request request) {
    for (const NamedParam& given : request.given)
        for (const char* owned : {"position", "last_size", "last_time"})
            if (given.name == owned)
                return Unknown(request, "--" + given.name + " is kept in the --state file");
    auto deadline = Clock::now() + std::chrono::milliseconds(options.endpoint.timeoutMs);
    std::string error;
    StateLock lock(check.stateFile, options.endpoint.timeoutMs, error);
    if (!lock.Held()) return Unknown(request, error);
    LogState state;
    bool exists = false;
    if (!ReadLogState(check.stateFile, state, exists, error)) return Unknown(request, error);
    std::string path = SentValue(*request.spec, request.lines, "path");
    bool first = !exists || state.command != request.command || state.path != path;
    if (first) state = LogState();

    long long matches = 0;
    bool more = false;
    std::string cutShort;  // why the call ended before the agent had no further match
    std::string firstLine, lastLine;
    for (int asked = 0;; asked++) {
        QdxEndpoint endpoint = options.endpoint;
        endpoint.timeoutMs = RemainingMs(deadline);
        if (asked > 0 && endpoint.timeoutMs == 0) {
            cutShort = "the time-out (-t " + std::to_string(options.endpoint.timeoutMs) +
                       " ms) ran out";
            break;
        }
        SetLine(request, request.lines, "position", state.position);
        SetLine(request, request.lines, "last_size", state.lastSize);
        SetLine(request, request.lines, "last_time", state.lastTime);
        QdxReplyText reply = QdxCall(endpoint, request.command, request.lines);
        if (reply.status != CallStatus::Ok || reply.Code() != "200") {
            if (asked == 0)
                return reply.status != CallStatus::Ok
                           ? NoReplyResult(request, check, options.endpoint, reply)
                           : RefusalResult(request, reply);
            cutShort = reply.status != CallStatus::Ok
                           ? (TimedOut(reply.reason) ? "the time-out (-t " +
                                                           std::to_string(
                                                               options.endpoint.timeoutMs) +
                                                           " ms) ran out"
                                                     : NoReplyMessage(options.endpoint, reply))
                           : "the agent answered " + reply.Code();
            break;
        }
        ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
        std::string match = Value(values, "match"), position = Value(values, "position"),
                    lastSize = Value(values, "last_size"), lastTime = Value(values, "last_time");
        // Only what a state file may hold is written to it.
        for (const std::string* number : {&match, &position, &lastSize, &lastTime})
            if (!IsStateNumber(*number))
                return Unknown(request, "the agent's reply holds no valid state (match \"" +
                                            TerminalText(match) + "\", position \"" +
                                            TerminalText(position) + "\", last_size \"" +
                                            TerminalText(lastSize) + "\", last_time \"" +
                                            TerminalText(lastTime) + "\"); " +
                                            check.stateFile + " is left as it was");
        state.position = position;
        state.lastSize = lastSize;
        state.lastTime = lastTime;
        if (match.find_first_not_of('0') != std::string::npos) {
            matches++;
            lastLine = Value(values, "line");
            if (matches == 1) firstLine = lastLine;
        }
        more = Value(values, "more") == "1";
        if (!more || first) break;
    }
    state.command = request.command;
    state.path = path;
    if (!WriteLogState(check.stateFile, state, error)) return Unknown(request, error);

    CheckOptions thresholds = check;
    if (!thresholds.warning.set && !thresholds.critical.set) {
        std::string ignored;
        ParseThresholdRange("0", thresholds.critical, ignored);  // any match is critical
    }
    auto count = static_cast<double>(matches);
    int stateWord = thresholds.critical.Alerts(count)  ? kStateCritical
                    : thresholds.warning.Alerts(count) ? kStateWarning
                    : cutShort.empty()                 ? kStateOk
                                                       : kStateUnknown;
    std::string number = std::to_string(matches);
    std::string text;
    if (first)
        text = "first check: end of the log marked at position " + state.position;
    else if (matches == 0 && cutShort.empty())
        text = "no new matching line";
    else
        text = (cutShort.empty() ? "" : "at least ") + number +
               (matches == 1 ? " new matching line: " + Shown(firstLine)
                             : " new matching lines" +
                                   (matches == 0 ? std::string()
                                                 : ", first: " + Shown(firstLine) +
                                                       ", last: " + Shown(lastLine)));
    if (!cutShort.empty()) text += " (" + cutShort + "; the next check goes on from there)";
    PerfDatum datum{"matches", number, "", thresholds.warning.text, thresholds.critical.text, "",
                    ""};
    return CheckResult::Made(request.command, stateWord, text, {datum});
}
