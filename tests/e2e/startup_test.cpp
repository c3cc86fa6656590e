// The agent's command line, start-up output, daemon mode and connection filter, end to end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "harness.h"

namespace {

const std::string kRule(61, '-');
const std::string kBanner = kRule + "\n Application:  QDX (Quodex for Zelpane)\n" +
                            " Version:      1.30 for FreeBSD\n\n" + kRule + "\n";
const std::string kUsage =
    " Usage: qdx [-d|-i] [-v|-vd] [-p <port>] [-u <user>] <cfg_file>\n"
    "  -d        - daemon mode (default)\n"
    "  -i        - interactive mode\n"
    "  -v        - verbose mode\n"
    "  -vd       - verbose debugging mode\n"
    "  -p <port> - overrides TCP port number specified in cfg_file\n"
    "  -u <user> - runs as <user>, keeping only the capability to read files\n"
    "  cfg_file  - obligatory parameter, path to configuration file\n\n"
    " Examples:\n"
    "  qdx -i -v -p 1055 /etc/qdx/qdx.cfg\n"
    "  qdx -d ~/qdx/qdx.cfg\n\n";
const std::string kChecks =
    "CPU testing .. Ok\nBasic encyption checking .. Ok\nQDX encyption checking .. Ok\n";

TEST(Startup, CommandLineErrorsPrintUsageAndExit1) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{}, "Error\nInvalid or missed command line parameter"},
        {{"-i"}, "Error\nInvalid or missed command line parameter"},
        {{"-p"}, "Error\nInvalid or missed command line parameter"},
        {{"-p", "1055"}, "Error\nInvalid or missed command line parameter"},
        {{"-p", "0", "x.cfg"}, "Error\nInvalid port number"},
        {{"-p", "65536", "x.cfg"}, "Error\nInvalid port number"},
        {{"-i", "-v", "-p", "-3", "x.cfg"}, "Error\nInvalid port number"},
    };
    for (const Case& c : cases) {
        RunResult run = RunAgentToExit(c.args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, kBanner + "Command line checking .. " + c.error + "\n\n" + kUsage)
            << c.error;
    }
}

TEST(Startup, OptionsArePositional) {
    // "-v" after "-vd" is taken as the configuration file.
    RunResult run = RunAgentToExit({"-vd", "-v", "qdx.cfg"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, kBanner + "Command line checking .. Ok\nSettings checking .. Error\n" +
                           "Cannot open configuration file '-v'\nPlease check '-v' file\n\n");
}

TEST(Startup, ConfigurationErrorsAreGatheredAndExit1) {
    TempDir dir;
    std::string cfg = dir.File("bad.cfg");
    WriteFile(cfg, "comment=nothing useful\n");
    RunResult run = RunAgentToExit({"-i", cfg});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, kBanner + "Command line checking .. Ok\nSettings checking .. Error\n" +
                           "  TCP post is not specified!\n  Password is not specified!\n" +
                           "  Full path to the agent is not specified!\n\n" + "Please check '" +
                           cfg + "' file\n\n");
}

TEST(Startup, InteractiveOutputIsExact) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    std::string expected = kBanner + "Command line checking .. Ok\nSettings checking .. Ok\n" +
                           kChecks + "Sock testing .. Ok\n";
    std::string out = agent.Output();
    ASSERT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_TRUE(
        std::regex_match(out.substr(expected.size()),
                         std::regex(R"(\[qdx\]\[\d\d:\d\d:\d\d\]\t qdx\t\t Listening\.\.\.\n)")))
        << out.substr(expected.size());
}

TEST(Startup, VerboseDetailAddsSizesAndWarningsStillStart) {
    TempDir dir;
    Agent agent(dir, "filterlist=127.0.0.1 127.0.0.2\nfiltermarks=111\n");
    ASSERT_TRUE(agent.Start({"-vd"}));
    std::string out = agent.Output();
    EXPECT_NE(out.find("Settings checking .. Warning: FilterMarks has less items than "
                       "FilterList\nCPU testing .. Ok\nstat.size: 8\nsrec.size: 8\n"
                       "int64 = double\nBasic encyption checking .. Ok\n"),
              std::string::npos)
        << out;
}

TEST(Startup, PortInUseEndsWith4) {
    TempDir dir;
    int taken = 0;
    int blocker = OccupyPort(taken);
    Agent agent(dir, "", taken);
    RunResult run = RunAgentToExit({"-i", agent.config()});
    close(blocker);
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_NE(run.out.find("Sock testing .. TCP listen error:\nsocket() or bind() error\n\n"),
              std::string::npos)
        << run.out;
}

// Connects from a chosen loopback source address and reports whether the agent answered.
QdxReplyText CallFrom(const char* source, int port, const std::string& command) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(sock, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(sock);
        return QdxReplyText();
    }
    String key = NewSessionKey();
    QdxReplyText reply = QdxExchange(
        sock, BuildRequestPacket(Agent::Password().c_str(), key, BuildRequestText(command, {})),
        key, 5000);
    close(sock);
    return reply;
}

TEST(Startup, ConnectionFilterMatchesWholeEntries) {
    TempDir dir;
    // 127.0.0.1 only occurs inside the active entry 127.0.0.10; 127.0.0.3 is listed but not active.
    Agent agent(dir, "host=\nfilteractive=1\nfilterlist=127.0.0.10 127.0.0.3\nfiltermarks=10\n");
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(CallFrom("127.0.0.10", agent.port(), "GetInfo").Code(), "200");
    for (const char* refused : {"127.0.0.1", "127.0.0.3", "127.0.0.2"})
        EXPECT_EQ(CallFrom(refused, agent.port(), "GetInfo").status, CallStatus::NoReply)
            << refused;
    EXPECT_TRUE(agent.WaitForOutput("TCP connection rejected\n", 5));
    QdxReplyText info = CallFrom("127.0.0.10", agent.port(), "GetInfo");
    ASSERT_EQ(info.Code(), "200");
    EXPECT_NE(info.text.find("\nFailedConnections=3\n"), std::string::npos) << info.text;
}

// True while `pid` is a live process (a zombie waiting for its parent counts as ended).
bool Alive(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Kills a daemon a failed test left behind.
struct DaemonGuard {
    pid_t pid = 0;
    ~DaemonGuard() {
        if (pid > 0 && Alive(pid)) kill(pid, SIGKILL);
    }
};

TEST(Daemon, ForksWritesLockedPidFileAndReloadsOnHangUp) {
    TempDir dir;
    std::string pidfile = dir.File("qdx.pid");
    Agent agent(dir, "pidfile=" + pidfile + "\ncomment=before\n");
    RunResult parent = RunAgentToExit({"-d", agent.config()});
    EXPECT_EQ(parent.exitCode, 0);
    EXPECT_NE(parent.out.find("Sock testing .. Ok\nDaemon started\n"), std::string::npos)
        << parent.out;
    ASSERT_TRUE(WaitUntil([&] { return !ReadFile(pidfile).empty(); }, 10));
    pid_t daemonPid = std::atoi(ReadFile(pidfile).c_str());
    DaemonGuard guard{daemonPid};
    ASSERT_GT(daemonPid, 0);
    EXPECT_TRUE(Alive(daemonPid));
    EXPECT_EQ(ReadFile(pidfile), std::to_string(daemonPid) + "\n");

    // A second daemon on another port cannot lock the file and must not empty it.
    TempDir other;
    Agent second(other, "pidfile=" + pidfile + "\n");
    RunResult secondParent = RunAgentToExit({"-d", second.config()});
    EXPECT_EQ(secondParent.exitCode, 0);
    EXPECT_TRUE(WaitUntil([&] { return second.Call("GetInfo").Code() == "200"; }, 10));
    EXPECT_EQ(ReadFile(pidfile), std::to_string(daemonPid) + "\n");
    EXPECT_NE(ReadFile(second.LogFile("log2.txt")).find("Failed to lock pid file " + pidfile),
              std::string::npos);
    EXPECT_EQ(second.Call("QUIT").Code(), "200");

    // A reload on the hang-up signal picks up a changed comment.
    std::string cfg = ReadFile(agent.config());
    WriteFile(agent.config(), cfg.replace(cfg.find("comment=before"), 14, "comment=after!"));
    ASSERT_EQ(kill(daemonPid, SIGHUP), 0);
    EXPECT_TRUE(WaitUntil(
        [&] { return agent.Call("GetInfo").text.find("\nComment=after!\n") != std::string::npos; },
        5));

    // A broken file is refused: the settings in force stay, and the failure log says why.
    WriteFile(agent.config(), std::regex_replace(ReadFile(agent.config()),
                                                 std::regex("password=[^\n]*"), "password="));
    ASSERT_EQ(kill(daemonPid, SIGHUP), 0);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadFile(agent.LogFile("log2.txt"))
                       .find(
                           "\t qdx\t\t Configuration not reloaded, the settings in force stay: "
                           "Password is not specified!\n") != std::string::npos;
        },
        5))
        << ReadFile(agent.LogFile("log2.txt"));
    EXPECT_NE(agent.Call("GetInfo").text.find("\nComment=after!\n"), std::string::npos);

    EXPECT_EQ(agent.Call("QUIT").Code(), "200");
    EXPECT_TRUE(WaitUntil([&] { return !Alive(daemonPid); }, 5));
    EXPECT_TRUE(WaitUntil([&] { return access(pidfile.c_str(), F_OK) != 0; }, 5))
        << "the PID file is removed at exit";
}

// What a service manager that follows the PID file sees through a ReloadApp: the file never goes
// missing or empty, and the process it names is alive at every moment (the agent re-executes
// itself, and the new image's daemon takes over the file before its parent ends).
TEST(Daemon, RestartKeepsThePidFileNamingALiveProcess) {
    TempDir dir;
    std::string pidfile = dir.File("qdx.pid");
    Agent agent(dir, "pidfile=" + pidfile + "\n");
    ASSERT_EQ(RunAgentToExit({"-d", agent.config()}).exitCode, 0);
    ASSERT_TRUE(WaitUntil([&] { return !ReadFile(pidfile).empty(); }, 10));
    pid_t first = std::atoi(ReadFile(pidfile).c_str());
    DaemonGuard guard{first};
    ASSERT_TRUE(Alive(first));

    std::atomic<bool> stop{false};
    std::atomic<int> lapses{0};
    std::string lapse;
    std::thread watcher([&] {
        while (!stop) {
            std::string named = ReadFile(pidfile);
            pid_t pid = std::atoi(named.c_str());
            // A process that ended after the file was read counts only if the file still names it.
            if (pid <= 0 || (!Alive(pid) && ReadFile(pidfile) == named)) {
                if (lapses++ == 0) lapse = named.empty() ? "(no PID file)" : named;
            }
            usleep(500);
        }
    });
    EXPECT_EQ(agent.Call("ReloadApp").Code(), "200");
    pid_t second = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            second = std::atoi(ReadFile(pidfile).c_str());
            return second != first && second > 0 &&
                   agent.Call("GetInfo").text.find("\nOpenedConnections=1\n") != std::string::npos;
        },
        15));
    stop = true;
    watcher.join();
    guard.pid = second;
    EXPECT_EQ(lapses.load(), 0) << "the PID file named " << lapse << " while it was not running";
    EXPECT_TRUE(Alive(second));
    EXPECT_EQ(agent.Call("QUIT").Code(), "200");
    EXPECT_TRUE(WaitUntil([&] { return !Alive(second); }, 5));
}

}  // namespace
