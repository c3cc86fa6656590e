#include "config/plugin_table.h"

#include <cstring>

#include "fileutils/process.h"

namespace {

// Characters a shell would act on. No shell runs a plugin, but plugins and site scripts often
// hand an argument on to one; an argument needs none of them to carry a threshold or a path.
const char kShellCharacters[] = "|&;<>()$`\\\"'*?[]{}!~#";

bool NameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.';
}

// Index (1..9) of the placeholder at word[at], or 0 when none starts there.
int PlaceholderAt(const std::string& word, size_t at) {
    if (word.compare(at, 4, "$ARG") != 0 || at + 6 > word.size()) return 0;
    char digit = word[at + 4];
    if (digit < '1' || digit > '9' || word[at + 5] != '$') return 0;
    return digit - '0';
}

String Numbered(const char* before, size_t number, const char* after) {
    return String(before) + String(std::to_string(number).c_str()) + after;
}

}  // namespace

bool ParsePluginLine(const String& name, const String& commandLine, TPluginDef& plugin,
                     String& reason) {
    plugin = TPluginDef{};
    if (name.Length() == 0) {
        reason = "the plugin has no name";
        return false;
    }
    for (int i = 0; i < name.Length(); i++)
        if (!NameCharacter(name.Data()[i])) {
            reason = "a plugin name holds only letters, digits, '_', '-' and '.'";
            return false;
        }
    plugin.name.assign(name.Data(), static_cast<size_t>(name.Length()));
    if (commandLine.Pos('\0') != 0) {
        reason = "the command line holds a NUL byte";
        return false;
    }
    String line(commandLine);
    line.SetZero();
    TCommandArgs args;
    int argc = SplitCommandLine(line.Data() != nullptr ? line.Data() : "", args);
    if (argc == 0) {
        reason = "the command line is empty";
        return false;
    }
    // Splitting stops at kMaxArguments words: a line that reaches it may have had more.
    if (argc >= kMaxArguments) {
        reason = Numbered("the command line has more than ", kMaxArguments - 1, " words");
        return false;
    }
    if (args.argv[0][0] != '/') {
        reason = "the program must be given with its absolute path";
        return false;
    }
    for (int i = 0; i < argc; i++) {
        std::string word(args.argv[i]);
        for (size_t at = word.find("$ARG"); at != std::string::npos;
             at = word.find("$ARG", at + 1)) {
            int k = PlaceholderAt(word, at);
            if (k == 0) {
                reason = "only $ARG1$ to $ARG9$ are placeholders";
                return false;
            }
            if (i == 0) {
                reason = "the program's path cannot be a placeholder";
                return false;
            }
            plugin.placeholders |= 1 << (k - 1);
        }
        plugin.words.push_back(std::move(word));
    }
    return true;
}

const TPluginDef* FindPlugin(const std::vector<TPluginDef>& plugins, const String& name) {
    String lower(name);
    lower.LowerCase();
    std::string key(lower.Data() != nullptr ? lower.Data() : "",
                    static_cast<size_t>(lower.Length()));
    for (const TPluginDef& plugin : plugins)
        if (plugin.name == key) return &plugin;
    return nullptr;
}

std::vector<std::string> SplitPluginArguments(const String& text) {
    std::vector<std::string> arguments;
    std::string all(text.Data() != nullptr ? text.Data() : "", static_cast<size_t>(text.Length()));
    if (all.empty()) return arguments;
    if (all.back() == '\n') all.pop_back();
    if (!all.empty() && all.back() == '\r') all.pop_back();
    size_t start = 0;
    while (true) {
        size_t end = all.find('\n', start);
        std::string item = all.substr(start, end == std::string::npos ? end : end - start);
        if (!item.empty() && item.back() == '\r' && end != std::string::npos) item.pop_back();
        arguments.push_back(std::move(item));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return arguments;
}

bool FillPluginArguments(const TPluginDef& plugin, const std::vector<std::string>& arguments,
                         std::vector<std::string>& argv, String& reason) {
    argv.clear();
    if (arguments.size() > kMaxPluginArguments) {
        reason = Numbered("at most ", kMaxPluginArguments, " arguments");
        return false;
    }
    for (size_t i = 0; i < arguments.size(); i++) {
        const std::string& argument = arguments[i];
        size_t n = i + 1;
        if ((plugin.placeholders & (1 << i)) == 0) {
            reason = Numbered("argument ", n, " has no $ARG placeholder in the plugin's command line");
            return false;
        }
        if (argument.empty()) {
            reason = Numbered("argument ", n, " is empty");
            return false;
        }
        if (argument[0] == '-') {
            reason = Numbered("argument ", n, " begins with '-' (options are the administrator's)");
            return false;
        }
        for (char c : argument) {
            if (c == '\n' || c == '\r' || c == '\0') {
                reason = Numbered("argument ", n, " holds a line break or a NUL byte");
                return false;
            }
            if (std::strchr(kShellCharacters, c) != nullptr) {
                reason = Numbered("argument ", n, " holds a character a shell would act on: ") +
                         String(&c, 1);
                return false;
            }
        }
    }
    for (const std::string& word : plugin.words) {
        std::string filled;
        bool onlyPlaceholders = true;
        for (size_t at = 0; at < word.size();) {
            if (int k = PlaceholderAt(word, at); k != 0) {
                if (static_cast<size_t>(k) <= arguments.size()) filled += arguments[k - 1];
                at += 6;
                continue;
            }
            filled += word[at++];
            onlyPlaceholders = false;
        }
        if (filled.empty() && onlyPlaceholders && !word.empty()) continue;
        argv.push_back(std::move(filled));
    }
    return true;
}
