#include "check.h"

#include <cstdio>
#include <cstdlib>

#include "client/reply_values.h"
#include "output.h"

namespace {

[[noreturn]] void CheckUsage(const std::string& problem) {
    std::printf("QDX UNKNOWN - %s\n", problem.c_str());
    std::exit(kStateUnknown);
}

std::string Oneline(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) text += " ";
        for (char c : line) text += (c == '\r' || c == '\n' || c == '|') ? ' ' : c;
    }
    return text;
}

std::string Head(const Request& request, int state) {
    return "QDX " + request.command + " " + StateWord(state) + " - ";
}

// The name of the value a check thresholds: --value, or the command's main value.
std::string CheckedValue(const Request& request, const CheckOptions& check) {
    if (!check.value.empty()) return check.value;
    if (request.spec != nullptr && request.spec->mainValue != nullptr)
        return request.spec->mainValue;
    return "";
}

const char* Uom(const char* unit) {
    std::string u = unit;
    if (u == "B" || u == "KB" || u == "MB" || u == "TB" || u == "s" || u == "ms" || u == "us" ||
        u == "%" || u == "c")
        return unit;
    return "";
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

CheckOptions ParseCheckOptions(std::vector<std::string>& words) {
    CheckOptions check;
    size_t i = 0;
    auto value = [&](const std::string& option) {
        if (i + 1 >= words.size()) CheckUsage(option + " needs a value");
        return words[++i];
    };
    std::string error;
    for (; i < words.size(); i++) {
        const std::string& word = words[i];
        if (word == "-w" || word == "--warning") {
            if (!ParseThresholdRange(value(word), check.warning, error)) CheckUsage(error);
        } else if (word == "-c" || word == "--critical") {
            if (!ParseThresholdRange(value(word), check.critical, error)) CheckUsage(error);
        } else if (word == "--value") {
            check.value = value(word);
        } else if (word == "--state") {
            check.stateFile = value(word);
        } else if (word == "--critical-on-timeout") {
            check.criticalOnTimeout = true;
        } else if (!word.empty() && word[0] == '-') {
            CheckUsage("unknown check option " + word);
        } else {
            break;
        }
    }
    words.erase(words.begin(), words.begin() + static_cast<long>(i));
    if (words.empty()) CheckUsage("check needs a COMMAND");
    return check;
}

bool IsTextLog(const Request& request) {
    return request.command == "TEST-TextLog" || request.command == "TEST-TextLog2";
}

void ValidateCheck(const Request& request, const CheckOptions& check) {
    if (IsTextLog(request)) {
        if (check.stateFile.empty())
            CheckUsage(request.command + " checks need --state FILE to remember the position");
        if (!check.value.empty() && check.value != "matches")
            CheckUsage("a text-log check thresholds its number of matches (--value matches)");
        return;
    }
    if (!check.stateFile.empty()) CheckUsage("--state is for the text-log tests");
    if (!check.value.empty()) {
        const ValueSpec* spec =
            request.spec != nullptr ? FindValue(*request.spec, check.value) : nullptr;
        if (spec == nullptr) CheckUsage(request.command + " returns no value " + check.value);
        return;
    }
    if ((check.warning.set || check.critical.set) && CheckedValue(request, check).empty())
        CheckUsage(request.command + " has no main value: name one with --value");
}

std::string PerfItem(const std::string& label, const std::string& number, const char* unit,
                     const CheckOptions* thresholds) {
    std::string item = label;
    if (label.find_first_of(" '=") != std::string::npos) item = "'" + label + "'";
    item += "=" + number + Uom(unit) + ";";
    if (thresholds != nullptr) item += thresholds->warning.text;
    item += ";";
    if (thresholds != nullptr) item += thresholds->critical.text;
    item += std::string(unit) == "%" ? ";0;100" : ";;";
    return item;
}

CheckResult NoReplyResult(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply) {
    bool timeout =
        reply.reason == NoReplyReason::Timeout || reply.reason == NoReplyReason::ConnectTimeout;
    CheckResult result;
    result.state = timeout && check.criticalOnTimeout ? kStateCritical : kStateUnknown;
    result.line = Head(request, result.state) + "no reply from " + endpoint.host + ":" +
                  std::to_string(endpoint.port) + ": " + Oneline({reply.error});
    return result;
}

CheckResult RefusalResult(const Request& request, const QdxReplyText& reply) {
    std::string code = reply.Code();
    CheckResult result;
    result.state = code == "301" || code == "300" ? kStateCritical : kStateUnknown;
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    std::vector<std::string> reason = values.reason;
    for (const NamedValue& value : values.values) reason.push_back(DisplayValue(value));
    result.line = Head(request, result.state) + code + " " + Oneline(reason);
    return result;
}

CheckResult EvaluateCheck(const Request& request, const CheckOptions& check,
                          const QdxEndpoint& endpoint, const QdxReplyText& reply) {
    if (reply.status != CallStatus::Ok) return NoReplyResult(request, check, endpoint, reply);
    if (reply.Code() != "200") return RefusalResult(request, reply);
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    std::string name = CheckedValue(request, check);
    CheckResult result;
    double number = 0;
    const NamedValue* checked = name.empty() ? nullptr : values.Find(name);
    if (!name.empty() && checked == nullptr) {
        result.line = Head(request, kStateUnknown) + "the reply holds no value " + name;
        return result;
    }
    if (checked != nullptr && !checked->Number(number)) {
        result.line = Head(request, kStateUnknown) + name + " is not a number: \"" +
                      Oneline({checked->text}) + "\"";
        return result;
    }
    result.state = check.critical.Alerts(number)  ? kStateCritical
                   : check.warning.Alerts(number) ? kStateWarning
                                                  : kStateOk;
    std::string perf;
    for (const NamedValue& value : values.values) {
        double ignored = 0;
        bool numeric = value.kind == ValueKind::Integer || value.kind == ValueKind::Real;
        if (value.record != 0 || !(numeric || &value == checked) || !value.Number(ignored))
            continue;
        if (!perf.empty()) perf += ' ';
        perf += PerfItem(value.name, value.text, value.unit, &value == checked ? &check : nullptr);
    }
    result.line = Head(request, result.state);
    if (checked != nullptr)
        result.line += name + "=" + checked->text + Uom(checked->unit);
    else
        result.line += "200";
    if (!perf.empty()) result.line += " | " + perf;
    return result;
}

int RunCheck(const Options& options, const CheckOptions& check, const Request& request) {
    CheckResult result =
        IsTextLog(request) ? RunTextLogCheck(options, check, request)
                           : EvaluateCheck(request, check, options.endpoint,
                                           QdxCall(options.endpoint, request.command,
                                                   request.lines));
    std::printf("%s\n", result.line.c_str());
    return result.state;
}
