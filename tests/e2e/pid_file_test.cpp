// The daemon's PID file: removed when the agent ends on SIGTERM or QUIT while the file still names
// it, made in a folder of its own when that is missing, and never written through a link; nor is
// a log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "harness.h"

namespace {

bool Alive(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

pid_t StartDaemon(Agent& agent, const std::string& pidfile) {
    if (RunAgentToExit({"-d", agent.config()}).exitCode != 0) return 0;
    if (!WaitUntil([&] { return !ReadFile(pidfile).empty(); }, 10)) return 0;
    return std::atoi(ReadFile(pidfile).c_str());
}

// The agent process started on `config`, found by its command line (it has no PID file).
pid_t AgentOf(const std::string& config) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string cmdline = ReadFile(entry.path().string() + "/cmdline");
        if (cmdline.find(std::string(1, '\0') + config + std::string(1, '\0')) != std::string::npos)
            return std::atoi(entry.path().filename().c_str());
    }
    return 0;
}

struct KillAtEnd {
    pid_t pid = 0;
    ~KillAtEnd() {
        if (pid > 0 && Alive(pid)) kill(pid, SIGKILL);
    }
};

}  // namespace

// How the agent ends, and whether the file still names it when it does.
TEST(PidFile, RemovedAtTheEndOnlyWhileItNamesTheAgent) {
    struct Case {
        const char* what;
        std::function<void(Agent&, pid_t)> end;
        bool rewritten;  // the file names another process by then
    };
    const Case cases[] = {
        {"SIGTERM", [](Agent&, pid_t pid) { kill(pid, SIGTERM); }, false},
        {"QUIT", [](Agent& agent, pid_t) { EXPECT_EQ(agent.Call("QUIT").Code(), "200"); }, false},
        {"SIGTERM, the file naming another process", [](Agent&, pid_t pid) { kill(pid, SIGTERM); },
         true},
        {"QUIT, the file naming another process",
         [](Agent& agent, pid_t) { EXPECT_EQ(agent.Call("QUIT").Code(), "200"); }, true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string pidfile = dir.File("qdx.pid");
        Agent agent(dir, "pidfile=" + pidfile + "\n");
        KillAtEnd daemon{StartDaemon(agent, pidfile)};
        ASSERT_GT(daemon.pid, 0) << c.what;
        if (c.rewritten) WriteFile(pidfile, "1\n");
        c.end(agent, daemon.pid);
        EXPECT_TRUE(WaitUntil([&] { return !Alive(daemon.pid); }, 10)) << c.what;
        EXPECT_EQ(Exists(pidfile), c.rewritten) << c.what;
        if (c.rewritten) {
            EXPECT_EQ(ReadFile(pidfile), "1\n") << c.what;
        }
    }
}

// After a reboot without a service manager, /run/qdx is gone: the agent makes the folder again.
TEST(PidFile, MissingFolderIsMade) {
    TempDir dir;
    std::string folder = dir.File("run");
    std::string pidfile = folder + "/qdx.pid";
    Agent agent(dir, "pidfile=" + pidfile + "\n");
    KillAtEnd daemon{StartDaemon(agent, pidfile)};
    ASSERT_GT(daemon.pid, 0);
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(agent.Call("QUIT").Code(), "200");
    EXPECT_TRUE(WaitUntil([&] { return !Exists(pidfile); }, 10));
}

// A PID file or a log planted as a link to another file: the agent writes through neither, says
// so where it can, and runs on.
TEST(PidFile, LinksAreNotFollowed) {
    TempDir dir;
    std::string victim = dir.File("victim");
    WriteFile(victim, "untouched\n");
    std::string pidfile = dir.File("qdx.pid");
    std::string badlog = dir.File("failure.log");
    ASSERT_EQ(symlink(victim.c_str(), pidfile.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), badlog.c_str()), 0);
    Agent agent(dir, "pidfile=" + pidfile + "\nbadlogfile=" + badlog +
                         "\nverboselogfile=" + dir.File("verbose.log") + "\n");
    ASSERT_EQ(RunAgentToExit({"-d", "-v", agent.config()}).exitCode, 0);
    KillAtEnd daemon{AgentOf(agent.config())};
    ASSERT_GT(daemon.pid, 0);
    ASSERT_TRUE(WaitUntil([&] { return agent.Call("GetInfo").Code() == "200"; }, 10));
    EXPECT_NE(ReadFile(dir.File("verbose.log")).find("Failed to create pid file " + pidfile),
              std::string::npos)
        << ReadFile(dir.File("verbose.log"));
    EXPECT_EQ(agent.Call("QUIT").Code(), "200");
    EXPECT_TRUE(WaitUntil([&] { return !Alive(daemon.pid); }, 10));
    EXPECT_EQ(ReadFile(victim), "untouched\n");
    char target[256] = {};
    EXPECT_GT(readlink(pidfile.c_str(), target, sizeof target - 1), 0) << "the link was replaced";
}
