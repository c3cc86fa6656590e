#include "exporter_probe.h"

#include <chrono>

#include "client/client.h"
#include "client/log_state.h"
#include "client/reply_values.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

QdxEndpoint EndpointOf(const ExporterModule& module, const ProbeTarget& target, int timeoutMs) {
    QdxEndpoint endpoint;
    endpoint.host = target.host;
    endpoint.port = target.port;
    endpoint.password = module.password;
    endpoint.timeoutMs = timeoutMs;
    endpoint.tls = module.tls;  // the certificate must carry target.host
    return endpoint;
}

bool Exported(const ExporterModule& module, const std::string& value) {
    if (module.values.empty()) return true;
    for (const std::string& name : module.values)
        if (name == value) return true;
    return false;
}

// The reply's numeric values as gauges, and its text values that the module asks for as labels
// of one info series.
void AddReplyValues(const ExporterModule& module, const ReplyValues& values, MetricWriter& out) {
    const CommandSpec& command = *module.spec;
    std::vector<std::string> written;
    for (const NamedValue& value : values.values) {
        double number = 0;
        if (!value.Number(number) || !Exported(module, value.name)) continue;
        const ValueSpec* spec = FindValue(command, value.name);
        ValueSpec fallback{value.name.c_str(), value.kind, value.unit, ""};
        MetricName metric = MetricFor(command, spec != nullptr ? *spec : fallback);
        bool seen = false;
        for (const std::string& name : written) seen = seen || name == metric.name;
        if (seen) continue;  // one sample per family
        written.push_back(metric.name);
        std::string help = spec != nullptr && spec->meaning != nullptr && *spec->meaning
                               ? spec->meaning
                               : value.name;
        out.Family(metric.name, "gauge", std::string(command.name) + ": " + help);
        out.Sample({}, number * metric.scale);
    }
    if (module.labels.empty()) return;
    Labels labels;
    for (const std::string& name : module.labels) {
        const NamedValue* value = values.Find(name);
        labels.push_back({name, value != nullptr ? value->text : ""});
    }
    out.Family(MetricPrefix(command) + "_info", "gauge",
               std::string(command.name) + ": text values of the reply, as labels");
    out.Sample(labels, 1);
}

void SetLine(const CommandSpec& command, std::vector<std::string>& lines, const char* name,
             const std::string& value) {
    const ParamSpec* param = FindParam(command, name);
    int position = WirePosition(command, *param, lines);
    if (lines.size() < static_cast<size_t>(position)) lines.resize(static_cast<size_t>(position));
    lines[static_cast<size_t>(position) - 1] = value;
}

std::string Value(const ReplyValues& values, const char* name) {
    const NamedValue* value = values.Find(name);
    return value != nullptr ? value->text : "";
}

// Asks the agent for the next match while it reports one and time is left; the place moves with
// every reply read, so a probe cut short loses no line and counts none twice. The first probe of
// a target only marks the end of its log. Returns the last reply's result code ("" for none).
std::string FollowLog(const ExporterModule& module, const ProbeTarget& target,
                      Clock::time_point deadline, TextLogPlace& place) {
    const CommandSpec& command = *module.spec;
    std::vector<std::string> lines = module.lines;
    std::string code;
    for (int asked = 0;; asked++) {
        int left = RemainingMs(deadline);
        if (left == 0) break;
        SetLine(command, lines, "position", place.position);
        SetLine(command, lines, "last_size", place.lastSize);
        SetLine(command, lines, "last_time", place.lastTime);
        QdxReplyText reply = QdxCall(EndpointOf(module, target, left), command.name, lines);
        if (reply.status != CallStatus::Ok) return asked == 0 ? "" : code;
        code = reply.Code();
        if (code != "200") return code;
        ReplyValues values = ReadReplyValues(&command, lines, reply);
        std::string match = Value(values, "match"), position = Value(values, "position"),
                    lastSize = Value(values, "last_size"), lastTime = Value(values, "last_time");
        if (!IsStateNumber(position) || !IsStateNumber(lastSize) || !IsStateNumber(lastTime))
            return "bad";
        bool first = !place.known;
        place.position = position;
        place.lastSize = lastSize;
        place.lastTime = lastTime;
        place.known = true;
        if (!first && match.find_first_not_of("0 ") != std::string::npos) place.matches++;
        if (first || Value(values, "more") != "1") break;
    }
    return code;
}

void Header(MetricWriter& out, bool success, double seconds) {
    out.Family("qdx_probe_success", "gauge", "1 when the agent answered the request with 200");
    out.Sample({}, success ? 1 : 0);
    out.Family("qdx_probe_duration_seconds", "gauge", "how long the probe took");
    out.Sample({}, seconds);
}

}  // namespace

bool IsTextLogModule(const ExporterModule& module) {
    std::string name = module.spec->name;
    return name == "TEST-TextLog" || name == "TEST-TextLog2";
}

ProbeOutcome RunProbe(const ExporterModule& module, const ProbeTarget& target, int timeoutMs,
                      Exposition exposition, TextLogStore& logs, size_t cap) {
    ProbeOutcome outcome;
    MetricWriter out(exposition);
    const Clock::time_point start = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    std::string key = target.host + ":" + std::to_string(target.port);

    if (IsTextLogModule(module)) {
        TextLogPlace place;
        if (!logs.Take(module.name, key, cap, place)) {
            outcome.seconds = seconds();
            Header(out, false, outcome.seconds);
            outcome.body = out.Finish();
            return outcome;
        }
        std::string code = FollowLog(module, target, start + std::chrono::milliseconds(timeoutMs),
                                     place);
        logs.Give(module.name, key, place);
        outcome.success = code == "200";
        outcome.seconds = seconds();
        Header(out, outcome.success, outcome.seconds);
        if (double number = 0; DecimalNumber(code, number)) {
            out.Family("qdx_probe_result_code", "gauge", "the result code of the agent's reply");
            out.Sample({}, number);
        }
        if (place.known) {
            out.Family(MetricPrefix(*module.spec) + "_matched_lines", "counter",
                       "lines of the log that matched since the exporter first probed it");
            out.Sample({}, static_cast<double>(place.matches));
        }
        outcome.body = out.Finish();
        return outcome;
    }

    QdxReplyText reply =
        QdxCall(EndpointOf(module, target, timeoutMs), module.spec->name, module.lines);
    outcome.seconds = seconds();
    if (reply.status != CallStatus::Ok) {
        Header(out, false, outcome.seconds);
        outcome.body = out.Finish();
        return outcome;
    }
    std::string code = reply.Code();
    outcome.success = code == "200";
    Header(out, outcome.success, outcome.seconds);
    double number = 0;
    out.Family("qdx_probe_result_code", "gauge", "the result code of the agent's reply");
    out.Sample({}, DecimalNumber(code, number) ? number : 0);
    if (outcome.success)
        AddReplyValues(module, ReadReplyValues(module.spec, module.lines, reply), out);
    outcome.body = out.Finish();
    return outcome;
}
