// The allow-list of named plugins: "plugin.NAME=command line" lines of the configuration file,
// checked when they are read, and the filling of a command line's $ARG1$ ... $ARG9$ placeholders
// with the arguments of a request. Pure text work: nothing here runs or opens anything.
#pragma once

#include <string>
#include <vector>

#include "foundation/string.h"

// The key prefix of a plugin line ("plugin.check_disk=...").
constexpr const char* kPluginKeyPrefix = "plugin.";
// Placeholders run from $ARG1$ to $ARG9$.
constexpr int kMaxPluginArguments = 9;

// One allowed plugin. The name is lower case (configuration keys are case-insensitive); the words
// are the command line split as any command line of the agent is, the first an absolute path.
struct TPluginDef {
    std::string name;
    std::vector<std::string> words;
    int placeholders = 0;  // bit k-1 set when $ARGk$ appears in some word
};

// Checks one plugin line: `name` is the key after the prefix (already lower case), `commandLine`
// the value. False with the reason when the name is not made of letters, digits, "_", "-" and ".",
// when the line is empty, its program is not an absolute path, it has more words than a command
// line may have, or a "$ARG" is not one of the nine placeholders.
bool ParsePluginLine(const String& name, const String& commandLine, TPluginDef& plugin,
                     String& reason);

// The plugin called `name` (letter case ignored), or null.
const TPluginDef* FindPlugin(const std::vector<TPluginDef>& plugins, const String& name);

// The request's arguments: parameter text holding one argument per line (LF or CR LF between
// them; one final line end is allowed). An empty text is no argument at all.
std::vector<std::string> SplitPluginArguments(const String& text);

// The program's argument vector: every placeholder $ARGk$ replaced by argument k, or removed when
// there is no argument k; a word that was nothing but placeholders and is left empty is dropped.
// Each argument stays one word whatever it holds. False with the reason when an argument is empty,
// begins with "-", holds a line break, a NUL byte or one of the characters a shell would act on,
// or has no placeholder to go into.
bool FillPluginArguments(const TPluginDef& plugin, const std::vector<std::string>& arguments,
                         std::vector<std::string>& argv, String& reason);
