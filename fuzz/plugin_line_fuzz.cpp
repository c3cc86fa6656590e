// Plugin lines of the configuration file and the arguments a request fills into them. Input: the
// plugin's name, a NUL, its command line, a NUL, then the request's argument text (escaped lines).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/plugin_table.h"
#include "foundation/string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t first = input.find('\0');
    size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
    if (second == std::string::npos) return 0;
    String name(input.data(), static_cast<int>(first));
    name.LowerCase();
    String line(input.data() + first + 1, static_cast<int>(second - first - 1));
    String args(input.data() + second + 1, static_cast<int>(size - second - 1));

    TPluginDef plugin;
    String reason;
    if (!ParsePluginLine(name, line, plugin, reason)) {
        if (reason.Length() == 0) std::abort();  // a refusal always says why
        return 0;
    }
    if (plugin.words.empty() || plugin.words[0].empty() || plugin.words[0][0] != '/') std::abort();
    std::vector<std::string> argv;
    std::vector<std::string> arguments = SplitPluginArguments(qdxDecodeStrings(args));
    if (!FillPluginArguments(plugin, arguments, argv, reason)) return 0;
    // The program stays the administrator's; no argument brings a line break, a NUL or an option.
    if (argv.empty() || argv[0] != plugin.words[0] || argv.size() > plugin.words.size())
        std::abort();
    for (const std::string& argument : arguments)
        if (argument.empty() || argument[0] == '-' ||
            argument.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            std::abort();
    return 0;
}
