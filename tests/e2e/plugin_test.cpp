// Named plugins through the real agent: the Debian monitoring plugins as qdxctl check passes them
// on, compared with the same plugins run directly; the refusals (names outside the list,
// arguments while they are off, hostile arguments, a plugin past its time-out with its whole
// process group); output cut at 64 KiB; and what a thousand runs leave behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../process_census.h"
#include "harness.h"

namespace {

const std::string kPlugins = "/usr/lib/nagios/plugins/";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kManyRuns = 200;
#else
constexpr int kManyRuns = 1000;
#endif

std::string Script(const TempDir& dir, const std::string& name, const std::string& text) {
    std::string path = dir.File(name);
    WriteFile(path, text);
    chmod(path.c_str(), 0755);
    return path;
}

// The plugin lines of the fixture: check_dummy in each state, three real plugins, and scripts.
std::string PluginLines(const TempDir& dir) {
    std::string lines = "plugins=1\ndelayforscripts=0\n";
    for (int code = 0; code <= 3; code++)
        lines += "plugin.dummy" + std::to_string(code) + "=" + kPlugins + "check_dummy " +
                 std::to_string(code) + " 'state " + std::to_string(code) + " text'\n";
    lines += "plugin.check_disk=" + kPlugins + "check_disk -w 1% -c 1% -p /\n";
    lines += "plugin.check_procs=" + kPlugins + "check_procs -w 0: -c 0:\n";
    lines += "plugin.check_load=" + kPlugins + "check_load -w 999,999,999 -c 999,999,999\n";
    lines += "plugin.Args=" + Script(dir, "args.sh", "#!/bin/sh\nfor a; do echo \"[$a]\"; done\n") +
             " fixed $ARG1$ --opt=$ARG2$ $ARG3$\n";
    lines += "plugin.slow=" +
             Script(dir, "slow.sh",
                    "#!/bin/sh\nsleep 60 &\necho $! > \"$(dirname \"$0\")/child.pid\"\n"
                    "echo $$ > \"$(dirname \"$0\")/parent.pid\"\nsleep 60\n") +
             "\n";
    lines += "plugin.chatty=" +
             Script(dir, "chatty.sh",
                    "#!/bin/sh\necho 'CHATTY OK - many lines | lines=3000'\n"
                    "i=0; while [ $i -lt 3000 ]; do echo \"line $i of the long output\"; "
                    "i=$((i+1)); done\n") +
             "\n";
    lines += "plugin.perf=" +
             Script(dir, "perf.sh",
                    "#!/bin/sh\nprintf 'PERF WARNING - two parts | a=1;2;3\\nlong one\\n\\n"
                    "long two | b=5s;;;0\\n'\nexit 1\n") +
             "\n";
    return lines;
}

class Plugins : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent.Start()); }

    RunResult Check(std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", std::to_string(agent.port()), "-t", "20000", "check"});
        return RunProgram(QDXCTL_BINARY, args, 60, {"QDX_PASSWORD=" + Agent::Password()});
    }
    RunResult Direct(const std::string& plugin, const std::vector<std::string>& args) {
        return RunProgram((kPlugins + plugin).c_str(), args);
    }
    void Reconfigure(const std::string& extra) {
        WriteFile(agent.config(), ReadFile(agent.config()) + extra);
        ASSERT_EQ(agent.Call("ReloadCfg").text, "200\nOk\n\r");
    }

    TempDir dir;
    Agent agent{dir, PluginLines(dir)};
};

TEST_F(Plugins, DummyStatesPassThroughUnchanged) {
    for (int code = 0; code <= 3; code++) {
        RunResult direct = Direct("check_dummy", {std::to_string(code), "state " +
                                                                          std::to_string(code) +
                                                                          " text"});
        ASSERT_EQ(direct.exitCode, code) << "no " << kPlugins << "check_dummy?";
        RunResult through = Check({"TEST-Plugin", "--name", "dummy" + std::to_string(code)});
        EXPECT_EQ(through.exitCode, code);
        EXPECT_EQ(through.out, direct.out);
    }
    // The reply itself: exit code, status line, no further lines, not cut.
    EXPECT_EQ(agent.Call("TEST-Plugin", {"dummy1"}).text,
              "200\n1\nWARNING: state 1 text\n\n0\n\r");
    // Names are matched in any letter case, as configuration keys are.
    EXPECT_EQ(Check({"TEST-Plugin", "--name", "DUMMY2"}).exitCode, 2);
}

TEST_F(Plugins, RealPluginsGiveTheSameStateAndStatusWord) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"check_disk", {"-w", "1%", "-c", "1%", "-p", "/"}},
             {"check_procs", {"-w", "0:", "-c", "0:"}},
             {"check_load", {"-w", "999,999,999", "-c", "999,999,999"}}}) {
        RunResult direct = Direct(c.name, c.args);
        RunResult through = Check({"TEST-Plugin", "--name", c.name});
        EXPECT_EQ(through.exitCode, direct.exitCode) << c.name << ": " << through.out;
        auto word = [](const std::string& out) { return out.substr(0, out.find_first_of(":-")); };
        EXPECT_EQ(word(through.out), word(direct.out)) << through.out << " / " << direct.out;
        EXPECT_NE(through.out.find('|'), std::string::npos) << "performance data kept";
    }
}

TEST_F(Plugins, LongOutputAndPerformanceDataAsPrinted) {
    RunResult run = Check({"TEST-Plugin", "--name", "perf"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "PERF WARNING - two parts | a=1;2;3\nlong one\n\nlong two | b=5s;;;0\n");
    RunResult json = Check({"--json", "TEST-Plugin", "--name", "perf"});
    EXPECT_NE(json.out.find("\"b\""), std::string::npos) << json.out;

    // 3000 lines are more than 64 KiB: cut after a whole line, and marked.
    QdxReplyText reply = agent.Call("TEST-Plugin", {"chatty"});
    std::vector<std::string> lines = reply.Lines();
    ASSERT_EQ(lines.size(), 4u) << reply.text.substr(0, 200);
    EXPECT_EQ(lines[0], "0");
    EXPECT_EQ(lines[1], "CHATTY OK - many lines | lines=3000");
    EXPECT_EQ(lines[3], "1");
    std::string further = lines[2];
    EXPECT_LE(further.size(), 3u * 64 * 1024);  // escaped CR LF pairs triple at most
    EXPECT_EQ(further.substr(further.size() - 6), "%0D%0A") << "ends with a whole line";
    // More than a pipe holds: qdxctl writes into a file.
    std::string printed = dir.File("chatty.out");
    RunResult chatty = RunProgram(
        "/bin/sh",
        {"-c", std::string("exec \"$0\" -p ") + std::to_string(agent.port()) +
                   " check TEST-Plugin --name chatty > " + printed,
         QDXCTL_BINARY},
        60, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(chatty.exitCode, 0);
    std::string out = ReadFile(printed);
    EXPECT_EQ(out.rfind("CHATTY OK - many lines | lines=3000\nline 0 of", 0), 0u);
    EXPECT_NE(out.find("\n(qdx: the plugin's output was cut after 64 KiB)\n"), std::string::npos);
    EXPECT_EQ(out.find("line 2999"), std::string::npos);
}

TEST_F(Plugins, RefusalsSayWhy) {
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    };
    for (const Case& c : std::initializer_list<Case>{
             {{"no_such_plugin"}, "600\nPlugin \"no_such_plugin\" is not in the agent's list\n\r"},
             {{""}, "501\nName of the plugin is not specified\n\r"},
             {{"args", "one"}, "600\nPlugin arguments are not allowed\n\r"},
             {{"dummy0", "", "abc"}, "501\nWrong parameter\n\r"},
         })
        EXPECT_EQ(agent.Call("TEST-Plugin", c.params).text, c.reply);

    Reconfigure("pluginargs=1\n");
    for (const Case& c : std::initializer_list<Case>{
             {{"args", "a; rm -rf /"},
              "501\nWrong plugin argument: argument 1 holds a character a shell would act on: "
              ";\n\r"},
             {{"args", "$(id)"},
              "501\nWrong plugin argument: argument 1 holds a character a shell would act on: "
              "$\n\r"},
             {{"args", "-x"},
              "501\nWrong plugin argument: argument 1 begins with '-' (options are the "
              "administrator's)\n\r"},
             {{"args", "a%0Ab%0Ac%0Ad"},
              "501\nWrong plugin argument: argument 4 has no $ARG placeholder in the plugin's "
              "command line\n\r"},
             {{"dummy0", "x"},
              "501\nWrong plugin argument: argument 1 has no $ARG placeholder in the plugin's "
              "command line\n\r"},
         })
        EXPECT_EQ(agent.Call("TEST-Plugin", c.params).text, c.reply);

    // Each argument is one word, blanks and all; missing ones leave their placeholder empty.
    EXPECT_EQ(agent.Call("TEST-Plugin", {"args", "two words%0A5%"}).text,
              "200\n0\n[fixed]\n[two words]%0D%0A[--opt=5%]%0D%0A\n0\n\r");
    EXPECT_EQ(agent.Call("TEST-Plugin", {"args"}).text,
              "200\n0\n[fixed]\n[--opt=]%0D%0A\n0\n\r");
    // The client sends the arguments escaped, one per line.
    RunResult run = Check({"TEST-Plugin", "--name", "args", "--args", "x y\nz"});
    EXPECT_EQ(run.out, "[fixed]\n[x y]\n[--opt=z]\n");
}

TEST_F(Plugins, TimeOutKillsTheWholeGroup) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.Call("TEST-Plugin", {"slow", "", "500"}).text,
              "301\nPlugin timed out after 500 ms\n\r");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    for (const char* file : {"parent.pid", "child.pid"}) {
        pid_t pid = std::atoi(ReadFile(dir.File(file)).c_str());
        ASSERT_GT(pid, 0) << file;
        auto gone = [pid] {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            if (!std::getline(stat, line)) return true;
            return line.find(") Z ") != std::string::npos;  // ended, not yet reaped by init
        };
        EXPECT_TRUE(WaitUntil(gone, 5)) << file << " still runs";
    }
}

TEST_F(Plugins, ListFollowsReloadAndSurvivesSettingsChanges) {
    Reconfigure("plugin.late=" + kPlugins + "check_dummy 0 late\n");
    EXPECT_EQ(agent.Call("TEST-Plugin", {"late"}).text, "200\n0\nOK: late\n\n0\n\r");
    std::string before = ReadFile(agent.config());
    ASSERT_EQ(agent.Call("SetSettings", {"Comment=changed"}).Code(), "200");
    std::string after = ReadFile(agent.config());
    auto pluginLines = [](const std::string& text) {
        std::string lines;
        for (size_t at = text.find("plugin"); at != std::string::npos;
             at = text.find("plugin", at + 1))
            if (at == 0 || text[at - 1] == '\n') lines += text.substr(at, text.find('\n', at) - at);
        return lines;
    };
    EXPECT_EQ(pluginLines(after), pluginLines(before));
    EXPECT_NE(after.find("plugins=1\n"), std::string::npos);
    // Switched off in the file, the command is refused.
    WriteFile(agent.config(), after + "plugins=0\n");
    ASSERT_EQ(agent.Call("ReloadCfg").text, "200\nOk\n\r");
    EXPECT_EQ(agent.Call("TEST-Plugin", {"dummy0"}).text, "600\ntest is not allowed\n\r");
}

// A thousand runs, four at a time, leave no descriptor, zombie or file behind.
TEST_F(Plugins, ManyRunsLeaveNothingBehind) {
    ASSERT_EQ(agent.Call("TEST-Plugin", {"dummy0"}).Code(), "200");
    auto descriptors = [this] {
        int n = 0;
        for (auto& entry : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(agent.pid()) + "/fd")) {
            (void)entry;
            n++;
        }
        return n;
    };
    auto files = [this] {
        int n = 0;
        for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
            (void)entry;
            n++;
        }
        return n;
    };
    int fdsBefore = descriptors(), filesBefore = files();
    std::atomic<int> next{0}, failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++)
        workers.emplace_back([&] {
            while (next++ < kManyRuns) {
                QdxReplyText reply =
                    agent.Call("TEST-Plugin", {next % 2 ? "dummy2" : "perf"});
                if (reply.Code() != "200") failures++;
            }
        });
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(WaitUntil([&] { return descriptors() <= fdsBefore; }, 5))
        << descriptors() << " descriptors, " << fdsBefore << " before";
    EXPECT_EQ(testing_support::ZombieChildren(agent.pid()), 0);
    EXPECT_EQ(files(), filesBefore);
}

}  // namespace
