#include "client/reply_values.h"

#include <cctype>
#include <cstdlib>

#include "client/request_params.h"
#include "foundation/string.h"

namespace {

std::string Decoded(const std::string& wire) {
    String decoded = qdxDecodeStrings(String(wire.data(), static_cast<int>(wire.size())));
    return std::string(decoded.Data() ? decoded.Data() : "",
                       static_cast<size_t>(decoded.Length()));
}

// Entries of a decoded list: separated by CR LF (or a lone CR or LF); the empty last one dropped.
std::vector<std::string> Entries(const std::string& text) {
    std::vector<std::string> entries;
    std::string entry;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\r' && c != '\n') {
            entry += c;
            continue;
        }
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
        entries.push_back(entry);
        entry.clear();
    }
    if (!entry.empty()) entries.push_back(entry);
    return entries;
}

std::string WithoutBlanks(const std::string& text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \r");
    return text.substr(begin, end - begin + 1);
}

NamedValue Read(const std::string& name, ValueKind kind, const char* unit,
                const std::string& wire) {
    NamedValue value;
    value.name = name;
    value.kind = kind;
    value.unit = unit;
    value.wire = wire;
    switch (kind) {
        case ValueKind::Integer:
        case ValueKind::Real:
        case ValueKind::Flag: value.text = WithoutBlanks(wire); break;
        case ValueKind::Time: value.text = IsoTime(WithoutBlanks(wire)); break;
        case ValueKind::Text: value.text = wire; break;
        case ValueKind::Escaped: value.text = Decoded(wire); break;
        case ValueKind::List: {
            value.items = Entries(Decoded(wire));
            for (size_t i = 0; i < value.items.size(); i++)
                value.text += (i ? "\n" : "") + value.items[i];
            break;
        }
    }
    return value;
}

void ReadValues(std::span<const ValueSpec> specs, const std::vector<std::string>& lines,
                size_t& next, ReplyValues& out) {
    for (const ValueSpec& spec : specs) {
        if (next >= lines.size()) return;
        out.values.push_back(Read(spec.name, spec.kind, spec.unit, lines[next++]));
    }
}

void ReadKeyValues(const CommandSpec& command, const std::vector<std::string>& lines,
                   ReplyValues& out) {
    for (const std::string& line : lines) {
        size_t equals = line.find('=');
        std::string key = equals == std::string::npos ? line : line.substr(0, equals);
        std::string wire = equals == std::string::npos ? "" : line.substr(equals + 1);
        const ValueSpec* spec = nullptr;
        for (const ValueSpec& known : command.values)
            if (known.wireKey != nullptr && key == known.wireKey) spec = &known;
        if (spec != nullptr)
            out.values.push_back(Read(spec->name, spec->kind, spec->unit, wire));
        else
            out.values.push_back(Read(SnakeName(key), ValueKind::Text, "", wire));
    }
}

// The file list: the header, then records whose fields depend on the request's switches.
void ReadRecords(const CommandSpec& command, const std::vector<std::string>& params,
                 const std::vector<std::string>& lines, ReplyValues& out) {
    size_t next = 0;
    ReadValues(command.values, lines, next, out);
    std::vector<const ValueSpec*> fields;
    for (const ValueSpec& field : command.records)
        if (field.presentWhen == nullptr || SentValue(command, params, field.presentWhen) == "1")
            fields.push_back(&field);
    const NamedValue* announced = out.Find("fields");
    if (announced != nullptr && announced->text != std::to_string(fields.size())) {
        // Not the fields this client expects: name them by number rather than wrongly.
        fields.clear();
        long count = std::strtol(announced->text.c_str(), nullptr, 10);
        if (count < 1 || count > 16) count = 1;
        static const ValueSpec kField{"field", ValueKind::Text, "", ""};
        fields.assign(static_cast<size_t>(count), &kField);
    }
    for (int record = 1; next < lines.size(); record++)
        for (const ValueSpec* field : fields) {
            if (next >= lines.size()) break;
            NamedValue value = Read(field->name, field->kind, field->unit, lines[next++]);
            value.record = record;
            out.values.push_back(value);
        }
}

}  // namespace

bool NamedValue::Number(double& number) const {
    if (kind != ValueKind::Integer && kind != ValueKind::Real && kind != ValueKind::Flag)
        return false;
    if (text.empty()) return false;
    char* end = nullptr;
    number = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0';
}

const NamedValue* ReplyValues::Find(const std::string& name) const {
    for (const NamedValue& value : values)
        if (value.name == name) return &value;
    return nullptr;
}

std::string IsoTime(const std::string& wire) {
    if (wire.size() != 14) return wire;
    for (char c : wire)
        if (!std::isdigit(static_cast<unsigned char>(c))) return wire;
    return wire.substr(4, 4) + "-" + wire.substr(2, 2) + "-" + wire.substr(0, 2) + "T" +
           wire.substr(8, 2) + ":" + wire.substr(10, 2) + ":" + wire.substr(12, 2);
}

std::string SnakeName(const std::string& key) {
    std::string name;
    for (size_t i = 0; i < key.size(); i++) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (std::isupper(c)) {
            bool wordStart = i > 0 && (std::islower(static_cast<unsigned char>(key[i - 1])) ||
                                       (i + 1 < key.size() &&
                                        std::islower(static_cast<unsigned char>(key[i + 1])) &&
                                        std::isupper(static_cast<unsigned char>(key[i - 1]))));
            if (wordStart && !name.empty() && name.back() != '_') name += '_';
            name += static_cast<char>(std::tolower(c));
        } else if (std::isalnum(c)) {
            name += static_cast<char>(c);
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name.empty() ? "value" : name;
}

ReplyValues ReadReplyValues(const CommandSpec* command, const std::vector<std::string>& params,
                            const QdxReplyText& reply) {
    ReplyValues out;
    out.code = reply.Code();
    std::vector<std::string> lines = reply.Lines();
    std::span<const ValueSpec> specs;
    if (command != nullptr) specs = out.code == "200" ? command->values : command->failures;
    if (command != nullptr && out.code == "200" && command->shape == ReplyShape::KeyValues) {
        ReadKeyValues(*command, lines, out);
    } else if (command != nullptr && out.code == "200" && command->shape == ReplyShape::Records) {
        ReadRecords(*command, params, lines, out);
    } else if (!specs.empty()) {
        size_t next = 0;
        ReadValues(specs, lines, next, out);
        for (; next < lines.size(); next++) out.reason.push_back(Decoded(lines[next]));
    } else {
        for (const std::string& line : lines) {
            std::vector<std::string> entries = Entries(Decoded(line));
            if (entries.empty()) entries.push_back("");
            for (const std::string& entry : entries) out.reason.push_back(entry);
        }
    }
    return out;
}
