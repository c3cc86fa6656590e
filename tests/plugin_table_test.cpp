// Plugin lines as the reader checks them, and request arguments filled into their placeholders.
#include "config/plugin_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += "[" + word + "]";
    return text;
}

TEST(PluginTable, LinesAreCheckedWhenRead) {
    struct Case {
        const char* name;
        const char* line;
        const char* words;   // the words kept, or null when the line is refused
        const char* reason;  // the refusal
    };
    const Case cases[] = {
        {"check_disk", "/usr/lib/nagios/plugins/check_disk -w 10% -c 5% -p /",
         "[/usr/lib/nagios/plugins/check_disk][-w][10%][-c][5%][-p][/]", nullptr},
        {"q", "'/opt/my plugins/check' \"a b\" $ARG1$", "[/opt/my plugins/check][a b][$ARG1$]",
         nullptr},
        {"inside", "/bin/x --warning=$ARG2$,$ARG9$", "[/bin/x][--warning=$ARG2$,$ARG9$]", nullptr},
        {"", "/bin/true", nullptr, "the plugin has no name"},
        {"a/b", "/bin/true", nullptr, "a plugin name holds only letters, digits, '_', '-' and '.'"},
        {"x", "   ", nullptr, "the command line is empty"},
        {"x", "check_disk -w 1", nullptr, "the program must be given with its absolute path"},
        {"x", "/bin/x $ARG0$", nullptr, "only $ARG1$ to $ARG9$ are placeholders"},
        {"x", "/bin/x $ARG10$", nullptr, "only $ARG1$ to $ARG9$ are placeholders"},
        {"x", "/bin/x $arg1$", "[/bin/x][$arg1$]", nullptr},  // not a placeholder, not "$ARG"
        {"x", "/bin/$ARG1$", nullptr, "the program's path cannot be a placeholder"},
        {"x", "/bin/x 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22", nullptr,
         "the command line has more than 22 words"},
    };
    for (const Case& c : cases) {
        TPluginDef plugin;
        String reason;
        bool kept = ParsePluginLine(String(c.name), String(c.line), plugin, reason);
        EXPECT_EQ(kept, c.words != nullptr) << c.line;
        if (c.words != nullptr)
            EXPECT_EQ(Joined(plugin.words), c.words);
        else
            EXPECT_EQ(std::string(reason.SetZero().Data()), c.reason) << c.line;
    }
    TPluginDef plugin;
    String reason;
    EXPECT_FALSE(ParsePluginLine(String("x"), String("/bin/x\0y", 8), plugin, reason));
}

TEST(PluginTable, ArgumentsFillTheirPlaceholdersAsOneWordEach) {
    TPluginDef plugin;
    String reason;
    ASSERT_TRUE(ParsePluginLine(String("t"), String("/bin/t -w $ARG1$ --c=$ARG2$ $ARG3$$ARG3$"),
                                plugin, reason));
    struct Case {
        const char* arguments;  // as the request line holds them, decoded
        const char* argv;       // or null when refused
        const char* reason;
    };
    const Case cases[] = {
        {"", "[/bin/t][-w][--c=]", nullptr},
        {"10%", "[/bin/t][-w][10%][--c=]", nullptr},
        {"a b\r\n5\nz\n", "[/bin/t][-w][a b][--c=5][zz]", nullptr},
        {"1\n2\n3\n4", nullptr, "argument 4 has no $ARG placeholder in the plugin's command line"},
        {"1\n\n3", nullptr, "argument 2 is empty"},
        {"-x", nullptr, "argument 1 begins with '-' (options are the administrator's)"},
        {"a\rb", nullptr, "argument 1 holds a line break or a NUL byte"},
        {"ok\n`id`", nullptr, "argument 2 holds a character a shell would act on: `"},
        {"a|b", nullptr, "argument 1 holds a character a shell would act on: |"},
        {"$ARG2$", nullptr, "argument 1 holds a character a shell would act on: $"},
        {"1\n2\n3\n4\n5\n6\n7\n8\n9\n10", nullptr, "at most 9 arguments"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv;
        bool filled = FillPluginArguments(plugin, SplitPluginArguments(String(c.arguments)), argv,
                                          reason);
        EXPECT_EQ(filled, c.argv != nullptr) << c.arguments;
        if (c.argv != nullptr)
            EXPECT_EQ(Joined(argv), c.argv);
        else
            EXPECT_EQ(std::string(reason.SetZero().Data()), c.reason) << c.arguments;
    }
    std::vector<std::string> argv;
    EXPECT_FALSE(FillPluginArguments(
        plugin, SplitPluginArguments(String("a\0b", 3)), argv, reason));
}

TEST(PluginTable, NamesAreFoundInAnyLetterCase) {
    std::vector<TPluginDef> plugins(2);
    plugins[0].name = "check_disk";
    plugins[1].name = "check_load";
    EXPECT_EQ(FindPlugin(plugins, String("CHECK_Load")), &plugins[1]);
    EXPECT_EQ(FindPlugin(plugins, String("check")), nullptr);
    EXPECT_EQ(FindPlugin(plugins, String("")), nullptr);
}

}  // namespace
