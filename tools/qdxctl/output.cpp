#include "output.h"

#include <cmath>
#include <cstdio>

namespace {

using json = nlohmann::ordered_json;

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (size_t i = 0; i < items.size(); i++) text += (i ? separator : "") + items[i];
    return text;
}

json JsonValue(const NamedValue& value) {
    double number = 0;
    switch (value.kind) {
        case ValueKind::List: return value.items;
        case ValueKind::Flag:
            if (value.text == "1" || value.text == "0") return value.text == "1";
            return value.text;
        case ValueKind::Integer:
        case ValueKind::Real:
            if (!value.Number(number)) return value.text;
            if (value.kind == ValueKind::Integer && std::fabs(number) < 9.007199254740992e15)
                return static_cast<long long>(number);
            return number;
        default: return value.text;
    }
}

std::string Quoted(const std::string& text) {
    if (!text.empty() && text.find_first_of(" \t\"") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string LabelOf(const NamedValue& value) {
    if (value.record == 0) return value.name;
    return "entries[" + std::to_string(value.record) + "]." + value.name;
}

}  // namespace

int ExitFor(const QdxReplyText& reply) {
    if (reply.status != CallStatus::Ok) return kExitNoReply;
    return reply.Code() == "200" ? kExitOk : kExitNotOk;
}

std::string DisplayValue(const NamedValue& value) {
    if (value.kind == ValueKind::List) return Joined(value.items, ",");
    std::string shown;
    for (char c : value.text) {
        if (c == '\r' && value.kind == ValueKind::Text) continue;
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n";
        else
            shown += c;
    }
    return shown;
}

json ReplyJson(const Request& request, const std::string& host, int port,
               const QdxReplyText& reply) {
    json object = {{"host", host}, {"port", port}, {"command", request.command}};
    if (reply.status != CallStatus::Ok) {
        object["code"] = nullptr;
        object["no_reply"] = reply.reason == NoReplyReason::None ? "connect_failed"
                                                                 : NoReplyWord(reply.reason);
        object["reason"] = reply.error;
        return object;
    }
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    object["code"] = values.code;
    json named = json::object();
    json entries = json::array();
    for (const NamedValue& value : values.values) {
        if (value.record == 0) {
            named[value.name] = JsonValue(value);
            continue;
        }
        if (entries.size() < static_cast<size_t>(value.record)) entries.push_back(json::object());
        entries.back()[value.name] = JsonValue(value);
    }
    if (request.spec != nullptr && request.spec->shape == ReplyShape::Records &&
        values.code == "200")
        named["entries"] = entries;
    object["values"] = named;
    if (!values.reason.empty()) object["reason"] = Joined(values.reason, "\n");
    object["lines"] = reply.Lines();
    return object;
}

int PrintReply(const Request& request, const QdxEndpoint& endpoint, const QdxReplyText& reply,
               OutputForm form) {
    int status = ExitFor(reply);
    if (form == OutputForm::Json) {
        std::printf("%s\n", ReplyJson(request, endpoint.host, endpoint.port, reply)
                                .dump(-1, ' ', false, json::error_handler_t::replace)
                                .c_str());
        if (status == kExitNoReply)
            std::fprintf(stderr, "qdxctl: no reply from the agent: %s\n", reply.error.c_str());
        return status;
    }
    if (status == kExitNoReply) {
        std::fprintf(stderr, "qdxctl: %s: %s\n",
                     reply.status == CallStatus::NoSessionKey ? "nothing sent"
                                                              : "no reply from the agent",
                     reply.error.c_str());
        return status;
    }
    if (form == OutputForm::Raw) {
        std::fwrite(reply.text.data(), 1, reply.text.size(), stdout);
        return status;
    }
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    std::printf("%s\n", values.code.c_str());
    for (const NamedValue& value : values.values)
        std::printf("%s: %s\n", LabelOf(value).c_str(), DisplayValue(value).c_str());
    for (const std::string& line : values.reason) {
        std::string shown;
        for (char c : line)
            if (c != '\r') shown += c;
        std::printf("%s\n", shown.c_str());
    }
    return status;
}

std::string ReplyLine(const Request& request, const QdxReplyText& reply) {
    if (reply.status != CallStatus::Ok) {
        const char* why = reply.reason == NoReplyReason::None ? "connect_failed"
                                                              : NoReplyWord(reply.reason);
        return std::string("no reply (") + why + "): " + reply.error;
    }
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    std::string line = values.code;
    int records = 0;
    for (const NamedValue& value : values.values) {
        if (value.record != 0) {
            records = value.record;
            continue;
        }
        line += " " + value.name + "=" + Quoted(DisplayValue(value));
    }
    if (records > 0) line += " entries=" + std::to_string(records);
    for (const std::string& reason : values.reason) {
        std::string shown;
        for (char c : reason) shown += (c == '\r' || c == '\n') ? ' ' : c;
        line += " " + shown;
    }
    return line;
}
