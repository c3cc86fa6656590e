#include "client/request_params.h"

#include "foundation/string.h"

namespace {

const NamedParam* Given(const std::vector<NamedParam>& given, std::string_view name) {
    for (const NamedParam& g : given)
        if (g.name == name) return &g;
    return nullptr;
}

// What the request carries for `param` before moves: the named value, the positional word at its
// base position, or its default.
std::string EffectiveValue(const ParamSpec& param, const std::vector<std::string>& positional,
                           const std::vector<NamedParam>& given) {
    if (const NamedParam* g = Given(given, param.name)) return g->value;
    if (static_cast<size_t>(param.position) <= positional.size())
        return positional[static_cast<size_t>(param.position) - 1];
    return param.defaultValue;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string Escape(const std::string& text) {
    String encoded = qdxEncodeStrings(text.data(), static_cast<int>(text.size()));
    return std::string(encoded.Data() ? encoded.Data() : "",
                       static_cast<size_t>(encoded.Length()));
}

// True when a parameter travelling escaped sits at `position` (1-based).
bool EscapedAt(const CommandSpec* command, int position) {
    if (command == nullptr) return false;
    for (const ParamSpec& param : command->params)
        if (param.position == position) return param.kind == ParamKind::Escaped;
    return false;
}

// A default the agent reads exactly as an empty or missing line ("0" for a number or a flag)
// need not be sent.
bool ReadsAsEmpty(const ParamSpec& param) {
    std::string_view value = param.defaultValue;
    return value.empty() ||
           (value == "0" && (param.kind == ParamKind::Number || param.kind == ParamKind::Flag));
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

int ParamPosition(const CommandSpec& command, const ParamSpec& param,
                  const std::vector<std::string>& positional,
                  const std::vector<NamedParam>& given) {
    for (const ParamMove& move : param.moves) {
        const ParamSpec* when = FindParam(command, move.whenParam);
        if (when != nullptr && Trimmed(EffectiveValue(*when, positional, given)) == move.whenValue)
            return move.position;
    }
    return param.position;
}

bool BuildParamLines(const CommandSpec* command, const std::vector<std::string>& positional,
                     const std::vector<NamedParam>& given, std::vector<std::string>& lines,
                     std::string& error) {
    lines = positional;
    if (!given.empty()) {
        if (command == nullptr) {
            error = "named parameters need a command qdxctl knows";
            return false;
        }
        std::vector<int> namedAt;
        for (size_t i = 0; i < given.size(); i++) {
            const ParamSpec* param = FindParam(*command, given[i].name);
            if (param == nullptr) {
                error = "unknown parameter --" + given[i].name;
                return false;
            }
            for (size_t j = 0; j < i; j++)
                if (given[j].name == given[i].name) {
                    error = "--" + given[i].name + " is given twice";
                    return false;
                }
            int position = ParamPosition(*command, *param, positional, given);
            if (static_cast<size_t>(position) <= positional.size()) {
                error = "--" + given[i].name + " names parameter " + std::to_string(position) +
                        ", which a positional word already gives";
                return false;
            }
            for (size_t j = 0; j < namedAt.size(); j++)
                if (namedAt[j] == position) {
                    error = "--" + given[j].name + " and --" + given[i].name +
                            " are the same parameter line";
                    return false;
                }
            namedAt.push_back(position);
        }
        // Defaults first, then the names, each at the position the request's values give it.
        auto place = [&](int position, const std::string& value) {
            if (lines.size() < static_cast<size_t>(position))
                lines.resize(static_cast<size_t>(position));
            lines[static_cast<size_t>(position) - 1] = value;
        };
        for (const ParamSpec& param : command->params) {
            int position = ParamPosition(*command, param, positional, given);
            if (static_cast<size_t>(position) > positional.size() &&
                !Given(given, param.name) && !ReadsAsEmpty(param))
                place(position, param.defaultValue);
        }
        for (size_t i = 0; i < given.size(); i++) place(namedAt[i], given[i].value);
    }
    for (size_t i = 0; i < lines.size(); i++) {
        if (!HasLineBreak(lines[i])) continue;
        if (!EscapedAt(command, static_cast<int>(i) + 1)) {
            error = "parameter " + std::to_string(i + 1) + " cannot hold a line break";
            return false;
        }
        lines[i] = Escape(lines[i]);
    }
    return true;
}

std::string SentValue(const CommandSpec& command, const std::vector<std::string>& lines,
                      const char* name) {
    const ParamSpec* param = FindParam(command, name);
    if (param == nullptr) return "";
    int position = ParamPosition(command, *param, lines, {});
    if (static_cast<size_t>(position) > lines.size()) return "";
    return Trimmed(lines[static_cast<size_t>(position) - 1]);
}
