#include "client/reply_values.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "client/request_params.h"
#include "foundation/string.h"

namespace {

std::string Decoded(std::string_view wire) {
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

std::string WithoutBlanks(std::string_view text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \r");
    return std::string(text.substr(begin, end - begin + 1));
}

NamedValue Read(const ValueSpec& spec, std::string_view wire) {
    NamedValue value;
    value.name = spec.name;
    value.kind = spec.kind;
    value.unit = spec.unit;
    value.wire = std::string(wire);
    switch (spec.kind) {
        case ValueKind::Integer:
        case ValueKind::Real:
        case ValueKind::Flag: value.text = WithoutBlanks(wire); break;
        case ValueKind::Time: value.text = IsoTime(WithoutBlanks(wire)); break;
        case ValueKind::Text: value.text = std::string(wire); break;
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

const ValueSpec kUnnamedText{"value", ValueKind::Text, "", ""};
const ValueSpec kUnnamedField{"field", ValueKind::Text, "", ""};

// Hands the reply's lines to the reader of its shape, one at a time.
class ShapeReader {
public:
    ShapeReader(const CommandSpec* command, const std::vector<std::string>& params,
                const std::string& code, const ReplyVisitor& visitor)
        : command_(command), params_(params), visitor_(visitor) {
        if (command == nullptr) return;
        if (code == "200") {
            specs_ = command->values;
            keyValues_ = command->shape == ReplyShape::KeyValues;
            records_ = command->shape == ReplyShape::Records;
        } else {
            specs_ = command->failures;
        }
    }

    void Line(std::string_view line) {
        if (keyValues_) return KeyValue(line);
        if (next_ < specs_.size()) {
            visitor_.value(Read(specs_[next_++], line));
            if (records_ && next_ == specs_.size()) ChooseFields();
            return;
        }
        if (records_) return RecordField(line);
        if (!specs_.empty()) return visitor_.reason(Decoded(line));
        std::vector<std::string> entries = Entries(Decoded(line));
        if (entries.empty()) entries.push_back("");
        for (std::string& entry : entries) visitor_.reason(std::move(entry));
    }

private:
    void KeyValue(std::string_view line) {
        size_t equals = line.find('=');
        std::string key(equals == std::string::npos ? line : line.substr(0, equals));
        std::string_view wire = equals == std::string::npos ? "" : line.substr(equals + 1);
        for (const ValueSpec& known : command_->values)
            if (known.wireKey != nullptr && key == known.wireKey)
                return visitor_.value(Read(known, wire));
        NamedValue value = Read(kUnnamedText, wire);
        value.name = SnakeName(key);
        visitor_.value(std::move(value));
    }

    // The fields of one record follow the request's switches, unless the header announces
    // another count: they are then named by number rather than wrongly.
    void ChooseFields() {
        for (const ValueSpec& field : command_->records)
            if (field.presentWhen == nullptr ||
                SentValue(*command_, params_, field.presentWhen) == "1")
                fields_.push_back(&field);
        if (announced_.empty() || announced_ == std::to_string(fields_.size())) return;
        long count = std::strtol(announced_.c_str(), nullptr, 10);
        if (count < 1 || count > 16) count = 1;
        fields_.assign(static_cast<size_t>(count), &kUnnamedField);
    }

    void RecordField(std::string_view line) {
        if (fields_.empty()) return;
        if (field_ == 0) record_++;
        NamedValue value = Read(*fields_[field_], line);
        value.record = record_;
        field_ = (field_ + 1) % fields_.size();
        visitor_.value(std::move(value));
    }

public:
    std::string announced_;  // the header's field count, set by the caller

private:
    const CommandSpec* command_;
    const std::vector<std::string>& params_;
    const ReplyVisitor& visitor_;
    std::span<const ValueSpec> specs_;
    size_t next_ = 0;
    bool keyValues_ = false;
    bool records_ = false;
    std::vector<const ValueSpec*> fields_;
    size_t field_ = 0;
    int record_ = 0;
};

std::string Percent(double part, double whole) {
    if (!(whole > 0)) return "U";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", part * 100 / whole);
    return text;
}

}  // namespace

bool DecimalNumber(std::string_view text, double& number) {
    size_t begin = text.find_first_not_of(" \r");
    if (begin == std::string_view::npos) return false;
    size_t end = text.find_last_not_of(" \r");
    std::string_view core = text.substr(begin, end - begin + 1);
    size_t i = core[0] == '-' || core[0] == '+' ? 1 : 0;
    size_t digits = 0, fraction = 0;
    for (; i < core.size() && std::isdigit(static_cast<unsigned char>(core[i])); i++) digits++;
    if (i < core.size() && core[i] == '.')
        for (i++; i < core.size() && std::isdigit(static_cast<unsigned char>(core[i])); i++)
            fraction++;
    if (digits == 0 || i != core.size() || core.size() > 64) return false;
    if (core.back() == '.' && fraction == 0) return false;
    std::string copy(core);
    number = std::strtod(copy.c_str(), nullptr);
    return std::isfinite(number);
}

bool NamedValue::Number(double& number) const {
    if (kind != ValueKind::Integer && kind != ValueKind::Real && kind != ValueKind::Flag)
        return false;
    return DecimalNumber(text, number);
}

const NamedValue* ReplyValues::Find(const std::string& name) const {
    for (const NamedValue& value : values)
        if (value.name == name) return &value;
    return nullptr;
}

void ForEachReplyLine(std::string_view text, const std::function<void(std::string_view)>& line) {
    size_t start = text.find('\n');
    while (start != std::string_view::npos) {
        size_t end = text.find('\n', start + 1);
        if (end == std::string_view::npos) break;  // what follows the last LF is the CR mark
        line(text.substr(start + 1, end - start - 1));
        start = end;
    }
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

void VisitReplyValues(const CommandSpec* command, const std::vector<std::string>& params,
                      const QdxReplyText& reply, const ReplyVisitor& visitor) {
    std::string code = reply.Code();
    visitor.code(code);
    ReplyVisitor inner = visitor;
    ShapeReader* reader = nullptr;
    inner.value = [&](NamedValue&& value) {
        if (value.name == "fields" && value.record == 0) reader->announced_ = value.text;
        visitor.value(std::move(value));
    };
    ShapeReader shape(command, params, code, inner);
    reader = &shape;
    ForEachReplyLine(reply.text, [&](std::string_view line) { shape.Line(line); });
    if (command == nullptr || code != "200" || command->derive == nullptr) return;
    // Derived values need the reply's own, which are few where a command has any.
    ReplyValues own = ReadReplyValues(command, params, reply);
    for (NamedValue& value : own.values)
        if (value.derived) visitor.value(std::move(value));
}

ReplyValues ReadReplyValues(const CommandSpec* command, const std::vector<std::string>& params,
                            const QdxReplyText& reply) {
    ReplyValues out;
    ReplyVisitor collect{[&](const std::string& code) { out.code = code; },
                         [&](NamedValue&& value) { out.values.push_back(std::move(value)); },
                         [&](std::string&& reason) { out.reason.push_back(std::move(reason)); }};
    CommandSpec plain = command != nullptr ? *command : CommandSpec{};
    plain.derive = nullptr;
    VisitReplyValues(command != nullptr ? &plain : nullptr, params, reply, collect);
    if (command != nullptr && command->derive != nullptr && out.code == "200")
        command->derive(out);
    return out;
}

void DeriveFreeSpace(ReplyValues& values) {
    const NamedValue *total = values.Find("total_bytes"), *free = values.Find("free_bytes"),
                     *available = values.Find("available_bytes");
    double t = 0, f = 0, a = 0;
    bool known = total != nullptr && free != nullptr && available != nullptr &&
                 total->Number(t) && free->Number(f) && available->Number(a);
    double used = t - f;
    const CommandSpec* unc = FindCommandSpec("TEST-UNC");
    for (const ValueSpec& spec : unc->derived) {
        NamedValue value;
        value.name = spec.name;
        value.kind = spec.kind;
        value.unit = spec.unit;
        value.derived = true;
        std::string name = spec.name;
        if (!known)
            value.text = "U";
        else if (name == "used_percent")
            value.text = Percent(used, used + a);
        else if (name == "available_percent")
            value.text = Percent(a, used + a);
        else
            value.text = Percent(f, t);
        value.wire = value.text;
        values.values.push_back(std::move(value));
    }
}
