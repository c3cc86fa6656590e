#include "plugin_verdict.h"

#include <cctype>

#include "client/perf_data.h"

namespace {

const char kScriptRes[] = "scriptres:";

bool BeginsWithScriptRes(const std::string& line) {
    if (line.size() < sizeof kScriptRes - 1) return false;
    for (size_t i = 0; i + 1 < sizeof kScriptRes; i++)
        if (std::tolower(static_cast<unsigned char>(line[i])) != kScriptRes[i]) return false;
    return true;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

CheckResult ExitCodeVerdict(const Request& request, const ReplyValues& values) {
    const NamedValue* code = values.Find("exit_code");
    double number = 0;
    if (code == nullptr || !code->Number(number))
        return CheckResult::Made(request.command, kStateUnknown, "the reply holds no exit code");
    int state = number == 0 ? kStateOk : number == 1 ? kStateWarning
                : number == 2 ? kStateCritical : kStateUnknown;
    PerfDatum datum{"exit_code", code->text, "", "", "", "", ""};
    return CheckResult::Made(request.command, state, "exit_code=" + code->text, {datum});
}

CheckResult ScriptVerdict(const Request& request, const ReplyValues& values) {
    const NamedValue* result = values.Find("result_line");
    const NamedValue* output = values.Find("output");
    std::string line = result != nullptr ? result->text : "";
    if (!BeginsWithScriptRes(line))
        return CheckResult::Made(request.command, kStateUnknown,
                                 "the script printed no scriptres: line (its last line: \"" +
                                     line + "\")");
    int state = ScriptResultState(line);
    if (state < 0)
        return CheckResult::Made(request.command, kStateUnknown,
                                 "\"" + line + "\" names no state (OK, WARNING, CRITICAL, "
                                 "UNKNOWN or 0 to 3)");
    std::vector<std::string> lines;
    if (output != nullptr)
        for (const std::string& item : output->items)
            if (!BeginsWithScriptRes(item)) lines.push_back(item);
    if (lines.empty()) return CheckResult::Made(request.command, state, line);

    // The plugin's own lines, as it printed them.
    CheckResult verdict;
    verdict.state = state;
    verdict.output = lines;
    verdict.status = lines[0].substr(0, lines[0].find('|'));
    for (const std::string& text : lines) {
        size_t bar = text.find('|');
        if (bar != std::string::npos) ParsePerfData(text.substr(bar + 1), verdict.perf);
    }
    return verdict;
}

// A named plugin's reply: its exit code is the state and its lines are passed on as it printed
// them, with one line of qdxctl's own at the end when the agent cut them.
CheckResult NamedPluginVerdict(const Request& request, const ReplyValues& values) {
    const NamedValue* code = values.Find("exit_code");
    const NamedValue* status = values.Find("status");
    const NamedValue* further = values.Find("long_output");
    const NamedValue* cut = values.Find("cut");
    double number = 0;
    if (code == nullptr || !code->Number(number) || status == nullptr)
        return CheckResult::Made(request.command, kStateUnknown, "the reply holds no plugin result");
    CheckResult verdict;
    verdict.state = number >= 0 && number <= 3 ? static_cast<int>(number) : kStateUnknown;
    verdict.output.push_back(status->text);
    if (further != nullptr) verdict.output.insert(verdict.output.end(), further->items.begin(),
                                                  further->items.end());
    if (cut != nullptr && cut->text == "1")
        verdict.output.push_back("(qdx: the plugin's output was cut after 64 KiB)");
    verdict.status = status->text.substr(0, status->text.find('|'));
    for (const std::string& text : verdict.output) {
        size_t bar = text.find('|');
        if (bar != std::string::npos) ParsePerfData(text.substr(bar + 1), verdict.perf);
    }
    return verdict;
}

}  // namespace

int ScriptResultState(const std::string& resultLine) {
    if (!BeginsWithScriptRes(resultLine)) return -1;
    std::string word = Upper(Trimmed(resultLine.substr(sizeof kScriptRes - 1)));
    const char* words[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    for (int state = 0; state < 4; state++)
        if (word == words[state] || word == std::to_string(state)) return state;
    return -1;
}

bool PluginVerdict(const Request& request, const ReplyValues& values, CheckResult& result) {
    if (request.spec == nullptr || request.spec->verdict == Verdict::None) return false;
    switch (request.spec->verdict) {
        case Verdict::ExitCode: result = ExitCodeVerdict(request, values); break;
        case Verdict::ScriptResult: result = ScriptVerdict(request, values); break;
        default: result = NamedPluginVerdict(request, values); break;
    }
    return true;
}
