// What qdxctl takes from outside and how it says what went wrong: replies that are too large or
// never end, files that are no regular files, descriptor and thread limits, control bytes on the
// terminal, and messages that name the host, the file or the range.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "fake_agent.h"
#include "harness.h"

namespace {

using nlohmann::json;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

RunResult Qdxctl(int port, std::vector<std::string> args, double seconds = 30) {
    args.insert(args.begin(), {"-p", std::to_string(port)});
    return RunProgram(QDXCTL_BINARY, args, seconds, {"QDX_PASSWORD=" + Agent::Password()});
}

// Runs qdxctl in a shell with the descriptor limit lowered to `limit`.
RunResult QdxctlLimited(int limit, const std::string& args) {
    return RunProgram("/bin/sh",
                      {"-c", "ulimit -n " + std::to_string(limit) + " && exec " +
                                 std::string(QDXCTL_BINARY) + " " + args},
                      60, {"QDX_PASSWORD=" + Agent::Password()});
}

// A reply announcing 4 GiB and streaming, and one that trickles without end: refused at once, or
// ended by the time-out however fast the bytes come.
TEST(QdxctlReplies, BoundedBySizeAndTime) {
    FakeAgent endless(Agent::Password(), [](const FakeAgent::Request& request,
                                           const std::atomic<bool>& stopping)
                                            -> std::optional<std::string> {
        std::string block(65536, 'x');
        std::string head = request.command == "GetInfo" ? std::string("\xff\xff\xff\xff", 4)
                                                        : std::string("\x06\x00\x00\x00", 4);
        FakeAgent::Send(request.fd, head, stopping);
        while (FakeAgent::Send(request.fd, block, stopping)) {
        }
        return std::nullopt;
    });
    auto start = Clock::now();
    RunResult huge = Qdxctl(endless.port(), {"-t", "10000", "GetInfo"});
    EXPECT_EQ(huge.exitCode, 2);
    EXPECT_NE(huge.err.find("announces 4294967295 bytes; an agent's reply holds at most 268500988"),
              std::string::npos)
        << huge.err;
    RunResult streaming = Qdxctl(endless.port(), {"-t", "10000", "check", "TEST-UNC", "/"});
    EXPECT_EQ(streaming.exitCode, 3);
    EXPECT_NE(streaming.out.find("more bytes came than the reply's length field announces"),
              std::string::npos)
        << streaming.out;

    FakeAgent trickling(Agent::Password(), [](const FakeAgent::Request& request,
                                             const std::atomic<bool>& stopping)
                                              -> std::optional<std::string> {
        FakeAgent::Send(request.fd, std::string("\x00\x00\x00\x10", 4), stopping);
        while (FakeAgent::Send(request.fd, "y", stopping))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::nullopt;
    });
    RunResult slow = Qdxctl(trickling.port(), {"-t", "800", "check", "--critical-on-timeout",
                                               "TEST-UNC", "/"});
    EXPECT_EQ(slow.exitCode, 2) << slow.out;
    EXPECT_NE(slow.out.find("no whole reply within the time-out"), std::string::npos) << slow.out;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 20);
}

// --hosts takes the replies an agent can send, beyond the 16 MiB it once stopped at, and a
// memory budget below two replies' size makes one host wait, not fail. Under the sanitizers the
// cipher is too slow for 17 MiB twice: the replies are smaller there, the budget as tight.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kLargeReply = 2u << 20;
#else
constexpr size_t kLargeReply = 17u << 20;
#endif

TEST(QdxctlReplies, HostsTakeLargeRepliesWithinTheirBudget) {
    const std::string entries = [] {
        std::string text;
        while (text.size() < kLargeReply) text += "a-file-name-of-some-length.log\n0\n";
        return text;
    }();
    FakeAgent big(Agent::Password(),
                  [&](const FakeAgent::Request&, const std::atomic<bool>&)
                      -> std::optional<std::string> {
                      return "200\n/d/\n" + std::to_string(entries.size() / 33) + "\n2\n" + entries;
                  },
                  2);
    TempDir dir;
    std::string list = dir.File("hosts");
    WriteFile(list, "127.0.0.1:" + std::to_string(big.port(0)) + "\n127.0.0.1:" +
                        std::to_string(big.port(1)) + "\n");
    RunResult run = RunProgram(QDXCTL_BINARY,
                               {"--hosts", list, "--reply-memory",
                                std::to_string((kLargeReply >> 20) + 3), "-t", "60000",
                                "GetFilesList", "/d", "*", "0", "1", "0", "0", "0", "0", "0"},
                               120, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out.substr(0, 500);
    EXPECT_NE(run.err.find("2 result 200"), std::string::npos) << run.err;
}

// Inputs that never end or are no files: refused by name, at once.
TEST(QdxctlInputs, OnlyRegularFilesWithinTheirBounds) {
    TempDir dir;
    std::string fifo = dir.File("fifo"), script = dir.File("big.sh");
    mkfifo(fifo.c_str(), 0600);
    WriteFile(script, std::string((1u << 20) + 1, '#'));
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"-F", "script=/dev/zero", "TEST-ShellScript"}, "cannot read /dev/zero: a device"},
        {{"-F", "script=" + fifo, "TEST-ShellScript"}, "a FIFO, not a regular file"},
        {{"-F", "script=" + dir.path(), "TEST-ShellScript"}, "a folder, not a regular file"},
        {{"-F", "script=" + script, "TEST-ShellScript"}, "larger than 1 MiB"},
        {{"--hosts", fifo, "GetInfo"}, "--hosts: cannot read " + fifo + ": a FIFO"},
        {{"-C", fifo, "GetInfo"}, "a FIFO, not a regular file"},
        {{"-C", "/dev/zero", "GetInfo"}, "a device, not a regular file"},
        {{"-f", fifo, "GetInfo"}, "password file: cannot read " + fifo + ": a FIFO"},
    };
    for (const Case& c : cases) {
        RunResult run = Qdxctl(1, c.args, 10);
        EXPECT_EQ(run.exitCode, 64) << c.args[1] << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    RunResult verify = RunProgram(QDXCTL_BINARY, {"verify-config", fifo}, 10);
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.err.find("a FIFO, not a regular file"), std::string::npos) << verify.err;
    // A hosts list with a NUL byte is refused with its line number.
    std::string list = dir.File("hosts");
    WriteFile(list, "127.0.0.1:1\n127.0.0.1:2\0x\n"s);
    RunResult nul = Qdxctl(1, {"--hosts", list, "GetInfo"});
    EXPECT_EQ(nul.exitCode, 64);
    EXPECT_NE(nul.err.find("line 2: holds a NUL byte"), std::string::npos) << nul.err;
}

// The descriptor limit bounds load's concurrency with a usage error, and --hosts uses what it
// allows: every host is answered, none reported unreachable for want of a descriptor.
TEST(QdxctlInputs, DescriptorLimit) {
    RunResult load = QdxctlLimited(64, "-p 1 load -n 10 -c 100000 GetInfo");
    EXPECT_EQ(load.exitCode, 64);
    EXPECT_NE(load.err.find("load -c 100000: the descriptor limit (ulimit -n) leaves room for 48 "
                            "connections at once"),
              std::string::npos)
        << load.err;

    FakeAgent many(Agent::Password(),
                   [](const FakeAgent::Request&, const std::atomic<bool>&)
                       -> std::optional<std::string> { return "200\nAgentName=fake"; },
                   40);
    TempDir dir;
    std::string list;
    for (int i = 0; i < 40; i++) list += "127.0.0.1:" + std::to_string(many.port(i)) + "\n";
    WriteFile(dir.File("hosts"), list);
    RunResult hosts =
        QdxctlLimited(20, "--hosts " + dir.File("hosts") + " --parallel 64 -t 20000 GetInfo");
    EXPECT_EQ(hosts.exitCode, 0) << hosts.err;
    EXPECT_NE(hosts.err.find("40 hosts in "), std::string::npos);
    EXPECT_NE(hosts.err.find("40 result 200"), std::string::npos) << hosts.err;
}

// Control bytes from the agent's host never reach the terminal raw; --raw and JSON keep them.
TEST(QdxctlInputs, TerminalSeesNoControlBytes) {
    TempDir dir;
    Agent agent(dir, "textlog=1\n");
    ASSERT_TRUE(agent.Start());
    std::string name = dir.File("evil\x1b]0;owned\x07\x9b.txt");
    WriteFile(name, "x");
    RunResult named = Qdxctl(agent.port(), {"TEST-FileExists", name});
    EXPECT_EQ(named.out.find('\x1b'), std::string::npos);
    EXPECT_NE(named.out.find("evil\\x1b]0;owned\\x07\\x9b.txt"), std::string::npos) << named.out;
    RunResult listed = Qdxctl(agent.port(), {"GetFilesList", dir.path()});
    EXPECT_EQ(listed.out.find('\x1b'), std::string::npos);
    EXPECT_NE(listed.out.find(".name: evil\\x1b]0;owned\\x07\\x9b.txt\n"), std::string::npos)
        << listed.out;
    RunResult raw = Qdxctl(agent.port(), {"--raw", "TEST-FileExists", name});
    EXPECT_NE(raw.out.find(name), std::string::npos);
    RunResult asJson = Qdxctl(agent.port(), {"--json", "TEST-FileExists", name});
    EXPECT_NE(asJson.out.find("evil\\u001b]0;owned\\u0007"), std::string::npos) << asJson.out;
    EXPECT_EQ(json::parse(asJson.out)["values"]["examined_path"].get<std::string>().find('\x1b'),
              dir.path().size() + 5);
    RunResult check = Qdxctl(agent.port(), {"check", "--value", "examined_path", "-w", "0",
                                            "TEST-FileExists", name});
    EXPECT_EQ(check.exitCode, 3);
    EXPECT_NE(check.out.find("evil\\x1b]0;owned\\x07"), std::string::npos) << check.out;
}

// Messages say what to do: the host and port of a missing reply, every command's options, a
// range, and where this platform does the job of a command it does not serve.
TEST(QdxctlInputs, MessagesSayWhatToDo) {
    int closed = FreePort();
    RunResult none = Qdxctl(closed, {"GetInfo"});
    EXPECT_EQ(none.err, "qdxctl: no reply from 127.0.0.1:" + std::to_string(closed) +
                            ": Connection refused\n");
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    RunResult wrong = RunProgram(QDXCTL_BINARY, {"-p", std::to_string(agent.port()), "GetInfo"},
                                 20, {"QDX_PASSWORD=wrong"});
    EXPECT_NE(wrong.err.find("a wrong password, an address its filter refuses, or an agent at "
                             "its session limit, maxsessions"),
              std::string::npos)
        << wrong.err;
    for (const char* command : {"check", "set", "upgrade", "load", "settings", "verify-config"}) {
        RunResult help = RunProgram(QDXCTL_BINARY, {"help", command});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind(std::string("Usage: qdxctl [options] ") + command, 0), 0u);
        EXPECT_EQ(RunProgram(QDXCTL_BINARY, {command, "--help"}).out, help.out) << command;
    }
    EXPECT_NE(RunProgram(QDXCTL_BINARY, {"help", "check"}).out.find("--unreachable STATE"),
              std::string::npos);
    EXPECT_NE(RunProgram(QDXCTL_BINARY, {"help", "upgrade"}).out.find("--max-failures N"),
              std::string::npos);
    EXPECT_NE(RunProgram(QDXCTL_BINARY, {"help", "set"}).out.find("--dry-run"),
              std::string::npos);
    // qdxctl's own options after "check".
    RunResult after = RunProgram(QDXCTL_BINARY,
                                 {"check", "-p", std::to_string(agent.port()), "--password",
                                  Agent::Password(), "-w", "0:", "TEST-UNC", "/"});
    EXPECT_EQ(after.exitCode, 0) << after.out;
    for (const auto& [args, says] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-p", "0", "GetInfo"}, "-p 0: give a number from 1 to 65535"},
             {{"-t", "0", "GetInfo"}, "-t 0: give a number from 1 to 3600000 ms"},
             {{"--parallel", "5000", "GetInfo"}, "--parallel 5000: give a number from 1 to 4096"},
         }) {
        RunResult run = RunProgram(QDXCTL_BINARY, args);
        EXPECT_EQ(run.exitCode, 64);
        EXPECT_EQ(run.err, "qdxctl: " + says + "\n");
    }
    RunResult disk = Qdxctl(agent.port(), {"TEST-DiskSpace"});
    EXPECT_EQ(disk.out, "500\nNot applicable for UNIX/Linux\nTEST-UNC does the job here: qdxctl "
                        "help TEST-UNC\n");
    EXPECT_NE(RunProgram(QDXCTL_BINARY, {"help", "TEST-DiskSpace"}).out.find("TEST-UNC"),
              std::string::npos);
}

}  // namespace
