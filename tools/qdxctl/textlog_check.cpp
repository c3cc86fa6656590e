// The text-log check: carries the agent's position, size and time between calls in a state file,
// so that each call reports only the lines written since the previous one.
#include <string>

#include "check.h"
#include "client/reply_values.h"
#include "output.h"
#include "state_file.h"

namespace {

// Asks at most this many times in one check while the agent reports another match.
constexpr int kMaxAsks = 100;

void SetLine(const Request& request, std::vector<std::string>& lines, const char* name,
             const std::string& value) {
    const ParamSpec* param = FindParam(*request.spec, name);
    int position = ParamPosition(*request.spec, *param, lines, {});
    if (lines.size() < static_cast<size_t>(position)) lines.resize(static_cast<size_t>(position));
    lines[static_cast<size_t>(position) - 1] = value;
}

std::string Shown(const std::string& line) {
    std::string shown;
    for (char c : line.substr(0, 200)) shown += (c == '|' || c < ' ') ? ' ' : c;
    return "\"" + shown + "\"";
}

std::string Value(const ReplyValues& values, const char* name) {
    const NamedValue* value = values.Find(name);
    return value != nullptr ? value->text : "";
}

CheckResult Unknown(const Request& request, const std::string& text) {
    return {kStateUnknown, "QDX " + request.command + " UNKNOWN - " + text};
}

}  // namespace

CheckResult RunTextLogCheck(const Options& options, const CheckOptions& check, Request request) {
    for (const NamedParam& given : request.given)
        for (const char* owned : {"position", "last_size", "last_time"})
            if (given.name == owned)
                return Unknown(request, "--" + given.name + " is kept in the --state file");
    std::string error;
    StateLock lock(check.stateFile, options.endpoint.timeoutMs, error);
    if (!lock.Held()) return Unknown(request, error);
    LogState state;
    bool exists = false;
    if (!ReadLogState(check.stateFile, state, exists, error)) return Unknown(request, error);
    std::string path = SentValue(*request.spec, request.lines, "path");
    bool first = !exists || state.command != request.command || state.path != path;
    if (first) state = LogState();

    int matches = 0;
    bool more = false;
    std::string firstLine, lastLine;
    for (int asked = 0; asked < kMaxAsks; asked++) {
        SetLine(request, request.lines, "position", state.position);
        SetLine(request, request.lines, "last_size", state.lastSize);
        SetLine(request, request.lines, "last_time", state.lastTime);
        QdxReplyText reply = QdxCall(options.endpoint, request.command, request.lines);
        if (reply.status != CallStatus::Ok)
            return NoReplyResult(request, check, options.endpoint, reply);
        if (reply.Code() != "200") return RefusalResult(request, reply);
        ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
        std::string position = Value(values, "position"), lastSize = Value(values, "last_size"),
                    lastTime = Value(values, "last_time");
        if (position.empty() || lastSize.empty() || lastTime.empty())
            return Unknown(request, "the reply holds no position, last_size and last_time");
        state.position = position;
        state.lastSize = lastSize;
        state.lastTime = lastTime;
        if (Value(values, "match") != "0" && !Value(values, "match").empty()) {
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
    CheckResult result;
    result.state = thresholds.critical.Alerts(matches)  ? kStateCritical
                   : thresholds.warning.Alerts(matches) ? kStateWarning
                                                        : kStateOk;
    std::string text;
    if (first)
        text = "first check: end of the log marked at position " + state.position;
    else if (matches == 0)
        text = "no new matching line";
    else
        text = std::to_string(matches) + (matches == 1 ? " new matching line: " + Shown(firstLine)
                                                       : " new matching lines, first: " +
                                                             Shown(firstLine) +
                                                             ", last: " + Shown(lastLine));
    if (more && !first) text += " (more follow; the next check goes on)";
    result.line = "QDX " + request.command + " " + StateWord(result.state) + " - " + text +
                  " | " + PerfItem("matches", std::to_string(matches), "", &thresholds);
    return result;
}
