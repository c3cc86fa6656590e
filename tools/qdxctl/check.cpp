#include "check.h"

#include <cstdio>

#include "client/reply_values.h"
#include "commands.h"
#include "hosts.h"
#include "output.h"
#include "plugin_verdict.h"
#include "terminal_text.h"

namespace {

using json = nlohmann::ordered_json;

std::string Oneline(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) text += " ";
        for (char c : line) text += (c == '\r' || c == '\n' || c == '|') ? ' ' : c;
    }
    return text;
}

// The name of the value a check thresholds: --value, or the command's main value.
std::string CheckedValue(const Request& request, const CheckOptions& check) {
    if (!check.value.empty()) return check.value;
    if (request.spec != nullptr && request.spec->mainValue != nullptr)
        return request.spec->mainValue;
    return "";
}

json ValuesJson(const ReplyValues& values) {
    json object = json::object();
    for (const NamedValue& value : values.values)
        if (value.record == 0) object[value.name] = JsonValue(value);
    return object;
}

// Performance data of every numeric value: the checked one with the thresholds, percentages
// between 0 and 100, byte counts between 0 and the total their catalog row names.
std::vector<PerfDatum> PerfOf(const Request& request, const ReplyValues& values,
                              const NamedValue* checked, const CheckOptions& check) {
    std::vector<PerfDatum> perf;
    for (const NamedValue& value : values.values) {
        double number = 0;
        bool numeric = value.kind == ValueKind::Integer || value.kind == ValueKind::Real;
        if (value.record != 0 || !numeric) continue;
        bool isNumber = value.Number(number);
        if (!isNumber && !value.derived && &value != checked) continue;
        PerfDatum datum;
        datum.label = value.name;
        datum.value = isNumber ? value.text : "U";
        datum.unit = PerfUnit(value.unit);
        if (&value == checked) {
            datum.warn = check.warning.text;
            datum.crit = check.critical.text;
        }
        const ValueSpec* spec =
            request.spec != nullptr ? FindValue(*request.spec, value.name) : nullptr;
        const NamedValue* max =
            spec != nullptr && spec->maxFrom != nullptr ? values.Find(spec->maxFrom) : nullptr;
        double ignored = 0;
        if (datum.unit == "%") {
            datum.min = "0";
            datum.max = "100";
        } else if (max != nullptr && max->Number(ignored)) {
            datum.min = "0";
            datum.max = max->text;
        }
        perf.push_back(datum);
    }
    return perf;
}

}  // namespace

const char* StateWord(int state) {
    switch (state) {
        case kStateOk: return "OK";
        case kStateWarning: return "WARNING";
        case kStateCritical: return "CRITICAL";
        default: return "UNKNOWN";
    }
}

CheckResult CheckResult::Made(const std::string& command, int state, const std::string& text,
                              std::vector<PerfDatum> perf) {
    CheckResult result;
    result.state = state;
    result.status = "QDX " + command + " " + StateWord(state) + " - " + text;
    result.perf = std::move(perf);
    std::string line = result.status;
    if (!result.perf.empty()) line += " | " + FormatPerfData(result.perf);
    result.output.push_back(line);
    return result;
}

bool IsTextLog(const Request& request) {
    return request.command == "TEST-TextLog" || request.command == "TEST-TextLog2";
}

void ValidateCheck(const Request& request, const CheckOptions& check) {
    if (IsTextLog(request)) {
        if (check.stateFile.empty())
            Fail(request.command + " checks need --state FILE to remember the position");
        if (!check.value.empty() && check.value != "matches")
            Fail("a text-log check thresholds its number of matches (--value matches)");
        return;
    }
    if (!check.stateFile.empty()) Fail("--state is for the text-log tests");
    if (!check.value.empty()) {
        const ValueSpec* spec =
            request.spec != nullptr ? FindValue(*request.spec, check.value) : nullptr;
        if (spec == nullptr) Fail(request.command + " returns no value " + check.value);
        return;
    }
    if ((check.warning.set || check.critical.set) && CheckedValue(request, check).empty())
        Fail(request.command + " has no main value: name one with --value");
}

CheckResult NoReplyResult(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply) {
    int state = !Unreachable(reply.reason) ? kStateUnknown
                : TimedOut(reply.reason)   ? check.timeout
                                           : check.unreachable;
    return CheckResult::Made(request.command, state,
                             Oneline({NoReplyMessage(endpoint, reply)}));
}

CheckResult RefusalResult(const Request& request, const QdxReplyText& reply) {
    std::string code = reply.Code();
    int state = code == "301" || code == "300" ? kStateCritical : kStateUnknown;
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    std::vector<std::string> reason = values.reason;
    for (const NamedValue& value : values.values) reason.push_back(DisplayValue(value));
    std::string note = DoneHereNote(request, reply);
    CheckResult result = CheckResult::Made(
        request.command, state, code + " " + Oneline(reason) + (note.empty() ? "" : "; " + note));
    result.values = ValuesJson(values);
    return result;
}

CheckResult EvaluateCheck(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply) {
    if (reply.status != CallStatus::Ok) return NoReplyResult(request, check, endpoint, reply);
    if (reply.Code() != "200") return RefusalResult(request, reply);
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    bool thresholds = check.warning.set || check.critical.set;
    CheckResult result;
    if (!thresholds && check.value.empty() && PluginVerdict(request, values, result)) {
        result.values = ValuesJson(values);
        return result;
    }
    std::string name = CheckedValue(request, check);
    const NamedValue* checked = name.empty() ? nullptr : values.Find(name);
    double number = 0;
    if (!name.empty() && checked == nullptr) {
        result = CheckResult::Made(request.command, kStateUnknown,
                                   "the reply holds no value " + name);
    } else if (checked != nullptr && !checked->Number(number)) {
        result = CheckResult::Made(request.command, kStateUnknown,
                                   name + " is not a number: \"" +
                                       TerminalText(Oneline({checked->text})) + "\"");
    } else {
        int state = check.critical.Alerts(number)  ? kStateCritical
                    : check.warning.Alerts(number) ? kStateWarning
                                                   : kStateOk;
        std::string text = checked != nullptr ? name + "=" + checked->text + PerfUnit(checked->unit)
                                              : std::string("200");
        result = CheckResult::Made(request.command, state, text,
                                   PerfOf(request, values, checked, check));
    }
    result.values = ValuesJson(values);
    return result;
}

json CheckJson(const CheckResult& result, const Request& request, const QdxEndpoint& endpoint) {
    json perf = json::array();
    for (const PerfDatum& datum : result.perf) {
        double number = 0;
        json value = datum.value;
        if (DecimalNumber(datum.value, number)) value = number;
        perf.push_back({{"label", datum.label},
                        {"value", value},
                        {"unit", datum.unit},
                        {"warn", datum.warn},
                        {"crit", datum.crit},
                        {"min", datum.min},
                        {"max", datum.max}});
    }
    return {{"host", endpoint.host},          {"port", endpoint.port},
            {"command", request.command},     {"state", StateWord(result.state)},
            {"exit", result.state},           {"status", result.status},
            {"perfdata", perf},               {"output", result.output},
            {"values", result.values}};
}

void PrintCheckResult(const CheckResult& result, const Options& options, const Request& request,
                      const QdxEndpoint& endpoint) {
    if (options.output == OutputForm::Json) {
        std::printf("%s\n", JsonText(CheckJson(result, request, endpoint)).c_str());
        return;
    }
    for (const std::string& line : result.output) std::printf("%s\n", TerminalText(line).c_str());
}

int RunCheckCommand(Options& options) {
    if (options.words.empty()) Fail("check needs a COMMAND (qdxctl help check)");
    NeedAgent(options);
    Request request = BuildRequest(options.words, options);
    ValidateCheck(request, options.check);
    if (!options.hostsFile.empty()) {
        if (IsTextLog(request)) Fail("text-log checks keep one state: not with --hosts");
        return RunHosts(options, request, &options.check);
    }
    CheckResult result =
        IsTextLog(request)
            ? RunTextLogCheck(options, options.check, request)
            : EvaluateCheck(request, options.check, options.endpoint,
                            QdxCall(options.endpoint, request.command, request.lines));
    PrintCheckResult(result, options, request, options.endpoint);
    return result.state;
}
