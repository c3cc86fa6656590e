#include "output.h"

#include <cmath>

#include "client/settings_change.h"
#include "terminal_text.h"

namespace {

using json = nlohmann::ordered_json;

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (size_t i = 0; i < items.size(); i++) text += (i ? separator : "") + items[i];
    return text;
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

std::string WithoutCR(const std::string& line) {
    std::string shown;
    for (char c : line)
        if (c != '\r') shown += c;
    return shown;
}

bool IsSettings(const Request& request) {
    return request.command == "GetSettings";
}

}  // namespace

int ExitFor(const QdxReplyText& reply) {
    if (reply.status != CallStatus::Ok) return kExitNoReply;
    return reply.Code() == "200" ? kExitOk : kExitNotOk;
}

std::string DisplayValue(const NamedValue& value) {
    if (value.kind == ValueKind::List) {
        std::vector<std::string> shown;
        for (const std::string& item : value.items) shown.push_back(TerminalText(item));
        return Joined(shown, ",");
    }
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
    return TerminalText(shown);
}

std::string NoReplyMessage(const QdxEndpoint& endpoint, const QdxReplyText& reply) {
    if (reply.status == CallStatus::NoSessionKey) return "nothing sent: " + reply.error;
    return "no reply from " + endpoint.host + ":" + std::to_string(endpoint.port) + ": " +
           reply.error;
}

std::string DoneHereNote(const Request& request, const QdxReplyText& reply) {
    if (request.spec == nullptr || request.spec->doneHereBy == nullptr || reply.Code() != "500")
        return "";
    return std::string(request.spec->doneHereBy) + " does the job here: qdxctl help " +
           request.spec->doneHereBy;
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

std::string JsonText(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

void WriteReplyJson(std::FILE* out, const Request& request, const std::string& host, int port,
                    const QdxReplyText& reply) {
    json head = {{"host", host}, {"port", port}, {"command", request.command}};
    if (reply.status != CallStatus::Ok) {
        head["code"] = nullptr;
        head["no_reply"] = reply.reason == NoReplyReason::None ? "connect_failed"
                                                               : NoReplyWord(reply.reason);
        head["reason"] = reply.error;
        std::fprintf(out, "%s\n", JsonText(head).c_str());
        return;
    }
    // Written piece by piece: a file list's entries go out as they are read.
    std::string text = JsonText(head);
    text.pop_back();  // the closing brace
    std::fputs(text.c_str(), out);
    std::vector<std::string> reasons;
    bool records = request.spec != nullptr && request.spec->shape == ReplyShape::Records;
    bool inEntries = false, firstValue = true;
    int record = 0;
    json entry = json::object();
    auto flushEntry = [&] {
        if (entry.empty()) return;
        std::fprintf(out, "%s%s", record > 1 ? "," : "", JsonText(entry).c_str());
        entry = json::object();
    };
    ReplyVisitor visitor{
        [&](const std::string& code) {
            std::fprintf(out, ",\"code\":%s,\"values\":{", JsonText(json(code)).c_str());
        },
        [&](NamedValue&& value) {
            if (value.record == 0) {
                std::fprintf(out, "%s%s:%s", firstValue ? "" : ",",
                             JsonText(json(value.name)).c_str(),
                             JsonText(JsonValue(value)).c_str());
                firstValue = false;
                return;
            }
            if (!inEntries) {
                std::fprintf(out, "%s\"entries\":[", firstValue ? "" : ",");
                inEntries = true;
                firstValue = false;
            }
            if (value.record != record) {
                flushEntry();
                record = value.record;
            }
            entry[value.name] = JsonValue(value);
        },
        [&](std::string&& reason) { reasons.push_back(std::move(reason)); }};
    VisitReplyValues(request.spec, request.lines, reply, visitor);
    flushEntry();
    if (records && reply.Code() == "200" && !inEntries)
        std::fprintf(out, "%s\"entries\":[", firstValue ? "" : ",");
    if (records && reply.Code() == "200") std::fputs("]", out);
    std::fputs("}", out);
    if (!reasons.empty())
        std::fprintf(out, ",\"reason\":%s", JsonText(json(Joined(reasons, "\n"))).c_str());
    std::fputs(",\"lines\":[", out);
    bool first = true;
    ForEachReplyLine(reply.text, [&](std::string_view line) {
        std::fprintf(out, "%s%s", first ? "" : ",", JsonText(json(std::string(line))).c_str());
        first = false;
    });
    std::fputs("]}\n", out);
}

int PrintReply(const Request& request, const Options& options, const QdxEndpoint& endpoint,
               QdxReplyText reply) {
    int status = ExitFor(reply);
    if (IsSettings(request) && !options.showPassword) MaskPassword(reply);
    if (options.output == OutputForm::Json) {
        WriteReplyJson(stdout, request, endpoint.host, endpoint.port, reply);
        if (status == kExitNoReply)
            std::fprintf(stderr, "qdxctl: %s\n", NoReplyMessage(endpoint, reply).c_str());
        return status;
    }
    if (status == kExitNoReply) {
        std::fprintf(stderr, "qdxctl: %s\n", NoReplyMessage(endpoint, reply).c_str());
        return status;
    }
    if (options.output == OutputForm::Raw) {
        std::fwrite(reply.text.data(), 1, reply.text.size(), stdout);
        return status;
    }
    std::vector<std::string> reasons;
    ReplyVisitor visitor{
        [](const std::string& code) { std::printf("%s\n", TerminalText(code).c_str()); },
        [](NamedValue&& value) {
            std::printf("%s: %s\n", LabelOf(value).c_str(), DisplayValue(value).c_str());
        },
        [](std::string&& reason) {
            std::printf("%s\n", TerminalText(WithoutCR(reason)).c_str());
        }};
    VisitReplyValues(request.spec, request.lines, reply, visitor);
    std::string note = DoneHereNote(request, reply);
    if (!note.empty()) std::printf("%s\n", note.c_str());
    return status;
}

std::string ReplyLine(const Request& request, const QdxReplyText& reply) {
    if (reply.status != CallStatus::Ok) {
        const char* why = reply.reason == NoReplyReason::None ? "connect_failed"
                                                              : NoReplyWord(reply.reason);
        return std::string("no reply (") + why + "): " + TerminalText(reply.error);
    }
    std::string line;
    int records = 0;
    ReplyVisitor visitor{
        [&](const std::string& code) { line = TerminalText(code); },
        [&](NamedValue&& value) {
            if (value.record != 0)
                records = value.record;
            else
                line += " " + value.name + "=" + Quoted(DisplayValue(value));
        },
        [&](std::string&& reason) {
            std::string shown;
            for (char c : reason) shown += (c == '\r' || c == '\n') ? ' ' : c;
            line += " " + TerminalText(shown);
        }};
    VisitReplyValues(request.spec, request.lines, reply, visitor);
    if (records > 0) line += " entries=" + std::to_string(records);
    std::string note = DoneHereNote(request, reply);
    if (!note.empty()) line += " (" + note + ")";
    return line;
}
