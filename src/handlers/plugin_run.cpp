#include "handlers/plugin_run.h"

#include <string>
#include <vector>

#include "config/file_trust.h"
#include "config/messages.h"
#include "config/plugin_table.h"
#include "config/settings.h"
#include "fileutils/captured_run.h"
#include "handlers/path_param.h"
#include "protocol/decoders.h"

namespace {

void Answer(QDXReply& reply, const char* code, const String& reason) {
    reply.SetResult(code) += reason;
}

String Text(const std::string& text) {
    return String(text.data(), static_cast<int>(text.size()));
}

// The time-out of parameter 3: empty or 0 is the default; false for anything but a number
// from 0 up.
bool PluginTimeout(const ZPRequest& request, int& timeoutMs) {
    if (!qdxDecodeInt(request.GetParam(3, 1), timeoutMs) || timeoutMs < 0) return false;
    if (timeoutMs == 0) timeoutMs = kDefaultPluginTimeoutMs;
    return true;
}

// Adds the status line, the further lines and the cut mark of `output` to the reply. Output past
// kMaxPluginOutput bytes is cut after the last whole line within them.
void AddPluginOutput(const CapturedOutput& output, QDXReply& reply) {
    std::string text = output.text;
    bool cut = output.cut;
    if (text.size() > static_cast<size_t>(kMaxPluginOutput)) {
        text.resize(kMaxPluginOutput);
        cut = true;
    }
    if (cut) {
        size_t lastEnd = text.rfind('\n');
        if (lastEnd != std::string::npos) text.resize(lastEnd + 1);
    }
    size_t firstEnd = text.find('\n');
    std::string status = text.substr(0, firstEnd);
    std::string further;
    for (size_t start = firstEnd; start != std::string::npos && start + 1 < text.size();) {
        size_t end = text.find('\n', start + 1);
        further.append(text, start + 1, end == std::string::npos ? end : end - start - 1);
        further += "\r\n";
        start = end;
    }
    reply.AddStringParam(Text(status), 1);
    reply.AddStringParam(Text(further), 1);
    reply.AddBoolParam(cut);
}

void AnswerFailedRun(ChildEnd end, int timeoutMs, const String& message, QDXReply& reply) {
    if (end == ChildEnd::KilledAtLimit)
        return Answer(reply, "301",
                      String("Plugin timed out after ") +
                          String(std::to_string(timeoutMs).c_str()) + " ms");
    Answer(reply, "301", String("Plugin execution error: ") + message);
}

}  // namespace

void ProcessTest_Plugin(const ZPRequest& request, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->plugins) return Answer(reply, "600", "test is not allowed");
    String name = GetPathParam(request, 1);
    if (name.Length() == 0) return Answer(reply, "501", "Name of the plugin is not specified");
    const TPluginDef* plugin = FindPlugin(settings->pluginlist, name);
    if (plugin == nullptr)
        return Answer(reply, "600", String("Plugin \"") + name + "\" is not in the agent's list");
    std::vector<std::string> arguments =
        SplitPluginArguments(qdxDecodeStrings(request.GetParam(2, 1)));
    if (!arguments.empty() && !settings->pluginargs)
        return Answer(reply, "600", "Plugin arguments are not allowed");
    int timeoutMs = 0;
    if (!PluginTimeout(request, timeoutMs)) return Answer(reply, "501", "Wrong parameter");
    std::vector<std::string> words;
    if (String reason; !FillPluginArguments(*plugin, arguments, words, reason))
        return Answer(reply, "501", String("Wrong plugin argument: ") + reason);

    // A program that someone other than root or the agent's user could change would run with
    // the agent's rights.
    if (String reason; !ScriptMayRun(Text(words[0]), String(), reason)) {
        showmessage("Plugin %s refused: %s\n", LOCAL, msgFail, 1, plugin->name.c_str(),
                    reason.SetZero().Data());
        return Answer(reply, "301", "Cannot execute plugin");
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    TChildSetup setup;
    std::string tmpdir(settings->tmpdir.Data() != nullptr ? settings->tmpdir.Data() : "",
                       static_cast<size_t>(settings->tmpdir.Length()));
    if (!tmpdir.empty()) setup.tmpdir = tmpdir.c_str();
    int exitcode = 0;
    CapturedOutput output;
    String message;
    // One byte more than may be kept tells a cut from an output that just fits.
    ChildEnd end = RunCapturing(argv.data(), setup, timeoutMs, kMaxPluginOutput + 1, exitcode,
                                output, message);
    if (end != ChildEnd::Exited) return AnswerFailedRun(end, timeoutMs, message, reply);
    reply.SetResult("200");
    reply.AddIntParam(exitcode);
    AddPluginOutput(output, reply);
}
