#include "client/request_params.h"

#include <functional>
#include <map>

#include "expr/compiled_expression.h"
#include "foundation/string.h"

namespace {

// The agent reads every parameter line trimmed; comparisons of values do the same.
std::string AgentTrimmed(const std::string& text) {
    String trimmed(text.data(), static_cast<int>(text.size()));
    trimmed.Trim();
    return std::string(trimmed.Data() ? trimmed.Data() : "",
                       static_cast<size_t>(trimmed.Length()));
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string Escape(const std::string& text) {
    String encoded = qdxEncodeStrings(text.data(), static_cast<int>(text.size()));
    return std::string(encoded.Data() ? encoded.Data() : "",
                       static_cast<size_t>(encoded.Length()));
}

// A default the agent reads exactly as an empty or missing line ("0" for a number or a flag)
// need not be sent.
bool ReadsAsEmpty(const ParamSpec& param) {
    std::string_view value = param.defaultValue;
    return value.empty() ||
           (value == "0" && (param.kind == ParamKind::Number || param.kind == ParamKind::Flag));
}

using Lookup = std::function<std::string(const char* name)>;

bool Applies(const ParamSpec& param, const Lookup& valueOf) {
    if (param.when.empty()) return true;
    for (const ParamWhen& when : param.when)
        if (AgentTrimmed(valueOf(when.param)) == when.value) return true;
    return false;
}

int MovedPosition(const ParamSpec& param, const Lookup& valueOf) {
    for (const ParamMove& move : param.moves)
        if (AgentTrimmed(valueOf(move.whenParam)) == move.whenValue) return move.position;
    return param.position;
}

std::string Conditions(const ParamSpec& param) {
    std::string text;
    for (const ParamWhen& when : param.when)
        text += std::string(text.empty() ? "" : " or ") + "--" + when.param + " is " + when.value;
    return text;
}

std::string NameList(const std::vector<const ParamSpec*>& params) {
    std::string text;
    for (const ParamSpec* param : params) text += std::string(text.empty() ? "" : ", ") + param->name;
    return text;
}

const NamedParam* Given(const std::vector<NamedParam>& given, std::string_view name) {
    for (const NamedParam& g : given)
        if (g.name == name) return &g;
    return nullptr;
}

bool CheckNames(const CommandSpec& command, const std::vector<NamedParam>& given,
                std::string& error) {
    for (size_t i = 0; i < given.size(); i++) {
        if (FindParam(command, given[i].name) == nullptr) {
            error = "unknown parameter --" + given[i].name;
            return false;
        }
        for (size_t j = 0; j < i; j++)
            if (given[j].name == given[i].name) {
                error = "--" + given[i].name + " is given twice";
                return false;
            }
    }
    return true;
}

bool EscapeLines(const CommandSpec* command, const std::vector<int>& escapedAt,
                 std::vector<std::string>& lines, std::string& error) {
    for (size_t i = 0; i < lines.size(); i++) {
        if (!HasLineBreak(lines[i])) continue;
        bool escaped = false;
        for (int position : escapedAt) escaped = escaped || position == static_cast<int>(i) + 1;
        if (!escaped) {
            const ParamSpec* param =
                command != nullptr ? ParamAtPosition(*command, static_cast<int>(i) + 1) : nullptr;
            error = (param != nullptr ? std::string(param->name) + " (parameter "
                                      : std::string("parameter ")) +
                    std::to_string(i + 1) + (param != nullptr ? ")" : "") +
                    " cannot hold a line break";
            return false;
        }
        lines[i] = Escape(lines[i]);
    }
    return true;
}

// Every word one line; line breaks escaped where the catalog's parameter at that line travels
// escaped.
bool WireLines(const CommandSpec* command, const std::vector<std::string>& positional,
               std::vector<std::string>& lines, std::string& error) {
    lines = positional;
    std::vector<int> escapedAt;
    if (command != nullptr)
        for (const ParamSpec& param : command->params)
            if (param.kind == ParamKind::Escaped) escapedAt.push_back(param.position);
    return EscapeLines(command, escapedAt, lines, error);
}

}  // namespace

bool SplitWords(const std::vector<std::string>& words, bool named,
                std::vector<std::string>& positional, std::vector<NamedParam>& given,
                std::string& error) {
    bool options = named;
    for (size_t i = 0; i < words.size(); i++) {
        const std::string& word = words[i];
        if (options && word == "--") {
            options = false;
            continue;
        }
        if (!options || word.size() < 3 || word.compare(0, 2, "--") != 0) {
            positional.push_back(word);
            continue;
        }
        size_t equals = word.find('=');
        if (equals != std::string::npos) {
            given.push_back({word.substr(2, equals - 2), word.substr(equals + 1)});
        } else if (i + 1 < words.size()) {
            given.push_back({word.substr(2), words[i + 1]});
            i++;
        } else {
            error = word + " needs a value";
            return false;
        }
    }
    return true;
}

bool BuildParamLines(const CommandSpec* command, const std::vector<std::string>& positional,
                     const std::vector<NamedParam>& given, bool wire,
                     std::vector<std::string>& lines, std::string& error) {
    if (wire || command == nullptr) {
        if (!given.empty()) {
            error = wire ? "--wire takes positional words only"
                         : "named parameters need a command qdxctl knows";
            return false;
        }
        return WireLines(command, positional, lines, error);
    }
    if (!CheckNames(*command, given, error)) return false;

    // Assign in catalog order: a parameter's conditions and moves look at earlier ones only.
    std::map<std::string, std::string> value;
    std::map<std::string, bool> fromUser;
    Lookup valueOf = [&](const char* name) -> std::string {
        auto it = value.find(name);
        if (it != value.end()) return it->second;
        if (const NamedParam* g = Given(given, name)) return g->value;
        const ParamSpec* param = FindParam(*command, name);
        return param != nullptr ? param->defaultValue : "";
    };
    std::vector<const ParamSpec*> read;
    size_t next = 0;
    for (const ParamSpec& param : command->params) {
        const NamedParam* named = Given(given, param.name);
        if (!Applies(param, valueOf)) {
            if (named != nullptr) {
                error = "--" + std::string(param.name) + " is read only when " + Conditions(param);
                return false;
            }
            continue;
        }
        read.push_back(&param);
        if (next < positional.size()) {
            if (named != nullptr) {
                error = std::string(param.name) + " is given both by word " +
                        std::to_string(next + 1) + " and by --" + param.name;
                return false;
            }
            value[param.name] = positional[next++];
            fromUser[param.name] = true;
        } else if (named != nullptr) {
            value[param.name] = named->value;
            fromUser[param.name] = true;
        } else {
            value[param.name] = param.defaultValue;
        }
    }
    if (next < positional.size()) {
        error = std::string(command->name) + " takes " + std::to_string(read.size()) +
                " parameter" + (read.size() == 1 ? "" : "s") +
                (read.empty() ? "" : " (" + NameList(read) + ")") + ", but " +
                std::to_string(positional.size()) + " words are given";
        return false;
    }

    lines.clear();
    std::vector<int> escapedAt;
    std::map<int, const ParamSpec*> at;
    for (const ParamSpec* param : read) {
        int position = MovedPosition(*param, valueOf);
        auto [it, fresh] = at.emplace(position, param);
        if (!fresh) {
            error = "--" + std::string(it->second->name) + " and --" + param->name +
                    " are the same parameter line";
            return false;
        }
        if (param->kind == ParamKind::Escaped) escapedAt.push_back(position);
        if (!fromUser[param->name] && ReadsAsEmpty(*param)) continue;
        if (lines.size() < static_cast<size_t>(position)) lines.resize(static_cast<size_t>(position));
        lines[static_cast<size_t>(position) - 1] = value[param->name];
    }
    return EscapeLines(command, escapedAt, lines, error);
}

bool ParamRead(const CommandSpec& command, const ParamSpec& param,
               const std::vector<std::string>& lines) {
    return Applies(param, [&](const char* name) { return SentValue(command, lines, name); });
}

int WirePosition(const CommandSpec& command, const ParamSpec& param,
                 const std::vector<std::string>& lines) {
    // The parameters that decide a move sit at their own positions, so reading them is direct.
    return MovedPosition(param, [&](const char* name) -> std::string {
        const ParamSpec* decider = FindParam(command, name);
        if (decider == nullptr || static_cast<size_t>(decider->position) > lines.size()) return "";
        return lines[static_cast<size_t>(decider->position) - 1];
    });
}

std::string SentValue(const CommandSpec& command, const std::vector<std::string>& lines,
                      const char* name) {
    const ParamSpec* param = FindParam(command, name);
    if (param == nullptr) return "";
    int position = WirePosition(command, *param, lines);
    if (static_cast<size_t>(position) > lines.size()) return "";
    return AgentTrimmed(lines[static_cast<size_t>(position) - 1]);
}

const ParamSpec* ParamAtPosition(const CommandSpec& command, int position) {
    for (const ParamSpec& param : command.params)
        if (param.position == position) return &param;
    return nullptr;
}

bool CheckExpressions(const CommandSpec& command, const std::vector<std::string>& lines,
                      std::string& error) {
    for (const ParamSpec& param : command.params) {
        if (param.expressionWhen == nullptr || !ParamRead(command, param, lines) ||
            SentValue(command, lines, param.expressionWhen) != "1")
            continue;
        // As the agent reads it: the line trimmed, then its line breaks decoded.
        int position = WirePosition(command, param, lines);
        std::string line =
            static_cast<size_t>(position) <= lines.size() ? lines[position - 1] : std::string();
        String text(line.data(), static_cast<int>(line.size()));
        String expression = qdxDecodeStrings(text.Trim());
        CompiledExpression compiled;
        String reason;
        if (!compiled.Compile(expression, 0, 0, reason)) {
            error = std::string(param.name) + " is no expression: " +
                    std::string(reason.Data() ? reason.Data() : "",
                                static_cast<size_t>(reason.Length())) +
                    " (strings are quoted: 'error' and not 'debug')";
            return false;
        }
        if (!compiled.WellFormed()) {
            error = std::string(param.name) +
                    " is no expression: its operators and operands do not pair up (the agent "
                    "would match no line)";
            return false;
        }
    }
    return true;
}
