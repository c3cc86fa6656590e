// Self-upgrade with an executable that does not come up: a shell script that prints a line and
// ends, an executable that exits 1, one that runs without ever listening. Each is put back by the
// previous agent, in interactive and in daemon mode, and under a simulated service manager that
// ends the whole service when its main process ends. A real agent sent the same way stays, started
// once. The files are sent through the client library: qdxctl may refuse what is not an agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/upgrade_client.h"
#include "foundation/md5.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

std::string Text(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

std::string Md5(const std::string& bytes) {
    MD5Context md5;
    MD5Open(&md5);
    MD5Digest(&md5, bytes.data(), static_cast<unsigned>(bytes.size()));
    unsigned char digest[16];
    MD5Close(&md5, digest);
    return std::string(reinterpret_cast<char*>(digest), 16);
}

// The built agent, without debug information when a sanitizer build makes it too large to send.
const std::string& AgentImage() {
    static TempDir folder;
    static const std::string path = [] {
        if (fs::file_size(QDX_BINARY) + 64 <= 10485759u) return std::string(QDX_BINARY);
        std::string stripped = folder.File("qdx");
        RunResult strip = RunProgram("/usr/bin/objcopy", {"--strip-debug", QDX_BINARY, stripped});
        EXPECT_EQ(strip.exitCode, 0) << strip.err;
        return stripped;
    }();
    return path;
}

// Comment lines that bring a script above the smallest size an upgrade takes.
const std::string kPadding =
    "# Stands in for a new agent in an upgrade test of qdx. It is not an agent: it never\n"
    "# listens on the agent's port, so the previous executable must come back.\n";

// What is sent as the new executable.
enum class Sent { ShellScript, ExitsOne, NeverListens, RealAgent };

std::string Contents(Sent sent) {
    switch (sent) {
        case Sent::ShellScript:
            return "#!/bin/sh\n" + kPadding + "echo 'this is not an agent'\nexit 0\n";
        case Sent::ExitsOne:
            return ReadFile("/bin/false");
        case Sent::NeverListens:
            // Its arguments (the agent's) keep the test's folder in its command line.
            return "#!/bin/sh\n" + kPadding + "while :; do sleep 1; done\n";
        case Sent::RealAgent:
            return ReadFile(AgentImage()) + "\nnew build marker\n";
    }
    return "";
}

// Every process whose command line mentions `text`.
std::vector<pid_t> ProcessesMentioning(const std::string& text) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string line = ReadFile(entry.path().string() + "/cmdline");
        if (line.find(text) != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
}

bool Alive(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
           stat[close + 2] != 'X';
}

pid_t PidIn(const std::string& file) {
    std::string text = ReadFile(file);
    return text.empty() ? -1 : std::atoi(text.c_str());
}

// An agent whose "qdxpath" is a copy of the built agent in the test's folder, with a failure log
// there too. Every process left that mentions the folder is killed at the end.
class Rollback : public ::testing::Test {
protected:
    Rollback()
        : agent_(dir_, "qdxpath=" + Installed() + "\nbadlogfile=" + dir_.File("fail.log") +
                           "\npidfile=" + dir_.File("qdx.pid") + "\n") {}
    ~Rollback() override {
        for (int round = 0; round < 3; round++)
            for (pid_t pid : ProcessesMentioning(dir_.path())) kill(pid, SIGKILL);
    }

    std::string Installed() {
        fs::create_directory(dir_.File("bin"));
        fs::copy_file(AgentImage(), QdxPath(), fs::copy_options::overwrite_existing);
        return QdxPath();
    }
    std::string QdxPath() const { return dir_.File("bin/qdx"); }
    std::string FailLog() { return ReadFile(dir_.File("fail.log")); }
    QdxEndpoint Endpoint() const { return agent_.Endpoint(); }

    // Starts the agent in daemon mode; its process id, from the PID file, or -1.
    pid_t StartDaemon(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"-d"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(agent_.config());
        RunResult run = RunProgram(QdxPath().c_str(), args, 20);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        return PidIn(dir_.File("qdx.pid"));
    }

    // Sends `bytes` as the new executable; true when the agent answered "200" twice.
    bool Send(const std::string& bytes) {
        String key;
        QdxReplyText reply;
        int sock = -1;
        WaitUntil(
            [&] {
                sock =
                    QdxStartUpgrade(Endpoint(), static_cast<long long>(bytes.size()), key, reply);
                return sock >= 0 || reply.Code() != "302";
            },
            10);
        EXPECT_GE(sock, 0) << reply.text << reply.error;
        if (sock < 0) return false;
        unsigned char digest[16];
        std::string md5 = Md5(bytes);
        std::copy(md5.begin(), md5.end(), digest);
        std::string trailer = Text(UpgradeTrailer(digest, key));
        EXPECT_TRUE(QdxSend(sock, bytes.data(), bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(QdxSend(sock, trailer.data(), trailer.size()));
        reply = QdxReadReply(sock, key, 20000);
        close(sock);
        EXPECT_EQ(reply.text, "200\n\r");
        return reply.text == "200\n\r";
    }

    // The script has run and finished (and its watcher, in interactive mode): what it decided is
    // done. It deletes the received file before it starts anything.
    bool ScriptDone(double seconds) {
        return WaitUntil(
            [&] {
                return !fs::exists(dir_.File("qdx__.upd")) &&
                       ProcessesMentioning(dir_.File("qdxupd__.sh")).empty();
            },
            seconds);
    }

    // The previous agent is back: it answers, "qdxpath" holds it byte for byte, the failed file is
    // kept as ".Failed", nothing of the transfer is left, the failure log says why, and a new
    // upgrade may begin.
    void ExpectRolledBack(const std::string& sent, const std::string& reason) {
        // The agent answers until it hands over to the script: the line about the roll-back comes
        // first.
        EXPECT_TRUE(WaitUntil(
            [&] {
                return FailLog().find("upgrade rolled back: ") != std::string::npos &&
                       QdxCall(Endpoint(), "GetInfo").Code() == "200";
            },
            40))
            << "the previous agent did not come back";
        EXPECT_NE(FailLog().find("\t upgrade rolled back: " + reason + "\n"), std::string::npos)
            << FailLog();
        EXPECT_TRUE(ReadFile(QdxPath()) == ReadFile(AgentImage())) << "qdxpath is not the agent";
        EXPECT_TRUE(ReadFile(QdxPath() + ".Old") == ReadFile(AgentImage()));
        EXPECT_EQ(Md5(ReadFile(QdxPath() + ".Failed")), Md5(sent));
        EXPECT_FALSE(fs::exists(QdxPath() + ".New"));
        EXPECT_FALSE(fs::exists(dir_.File("qdx__.upd")));
        EXPECT_FALSE(fs::exists(dir_.File("qdxupd__.sh")));
        String key;
        QdxReplyText reply;
        int sock = QdxStartUpgrade(Endpoint(), 200, key, reply);
        EXPECT_EQ(reply.Code(), "200") << reply.text;
        if (sock >= 0) close(sock);
    }

    // The sent agent runs, started once: "qdxpath" holds it, nothing was rolled back.
    void ExpectUpgraded(const std::string& sent) {
        EXPECT_TRUE(ScriptDone(40));
        QdxReplyText info = QdxCall(Endpoint(), "GetInfo");
        EXPECT_EQ(info.Code(), "200") << info.error;
        EXPECT_EQ(Md5(ReadFile(QdxPath())), Md5(sent));
        EXPECT_EQ(FailLog().find("rolled back"), std::string::npos) << FailLog();
        EXPECT_FALSE(fs::exists(QdxPath() + ".Failed"));
    }

    TempDir dir_;
    Agent agent_;
};

struct Case {
    const char* name;
    Sent sent;
    const char* interactiveReason;
    const char* daemonReason;
};

// Test listings show the case by its name.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const Case kCases[] = {
    {"ShellScript", Sent::ShellScript, "the new executable ended without listening",
     "the new executable exited with status 0"},
    {"ExitsOne", Sent::ExitsOne, "the new executable ended without listening",
     "the new executable exited with status 1"},
    {"NeverListens", Sent::NeverListens, "the new executable did not listen within 30 s",
     "the new executable did not listen within 30 s"},
};

class RollbackCase : public Rollback, public ::testing::WithParamInterface<Case> {};

// Interactive mode: the new executable runs with the agent's process id; the script's watcher
// puts the previous one back.
TEST_P(RollbackCase, Interactive) {
    ASSERT_TRUE(agent_.Start());
    const std::string sent = Contents(GetParam().sent);
    ASSERT_TRUE(Send(sent));
    ExpectRolledBack(sent, GetParam().interactiveReason);
    EXPECT_TRUE(ScriptDone(5));
    // The watcher ran with the interrupt signals ignored, as the shell starts it; the agent it
    // started takes Ctrl-C again.
    std::vector<pid_t> agents;
    for (pid_t pid : ProcessesMentioning(agent_.config()))
        if (Alive(pid)) agents.push_back(pid);
    ASSERT_EQ(agents.size(), 1u);
    std::string status = ReadFile("/proc/" + std::to_string(agents[0]) + "/status");
    size_t at = status.find("\nSigIgn:\t");
    ASSERT_NE(at, std::string::npos);
    unsigned long long ignored = std::stoull(status.substr(at + 9, 16), nullptr, 16);
    EXPECT_EQ(ignored & ((1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1))), 0u);
}

// Daemon mode: the script waits for the daemon in the PID file and puts the previous executable
// back in its own process, which forks the daemon anew.
TEST_P(RollbackCase, Daemon) {
    pid_t before = StartDaemon();
    ASSERT_GT(before, 0);
    const std::string sent = Contents(GetParam().sent);
    ASSERT_TRUE(Send(sent));
    ExpectRolledBack(sent, GetParam().daemonReason);
    EXPECT_TRUE(ScriptDone(5));
    pid_t now = PidIn(dir_.File("qdx.pid"));
    EXPECT_TRUE(Alive(now));
    EXPECT_NE(now, before);
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(now) + "/exe"), QdxPath());
}

INSTANTIATE_TEST_SUITE_P(Sent, RollbackCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return std::string(param.param.name);
                         });

// A real agent stays: in interactive mode it runs in the agent's own process, started once.
TEST_F(Rollback, RealAgentStaysInteractive) {
    ASSERT_TRUE(agent_.Start());
    const std::string sent = Contents(Sent::RealAgent);
    ASSERT_TRUE(Send(sent));
    ExpectUpgraded(sent);
    EXPECT_TRUE(agent_.Running());
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(agent_.pid()) + "/exe"), QdxPath());
    std::string output = agent_.Output();
    size_t first = output.find("Listening...\n");
    ASSERT_NE(first, std::string::npos);
    size_t second = output.find("Listening...\n", first + 1);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(output.find("Listening...\n", second + 1), std::string::npos) << "started twice";
}

// An agent stopped as soon as the upgraded executable answers stays stopped: its watcher was told
// it is up, and does not take the stop for a failed start.
TEST_F(Rollback, StoppedRightAfterTheUpgradeStaysStopped) {
    ASSERT_TRUE(agent_.Start());
    const std::string sent = Contents(Sent::RealAgent);
    ASSERT_TRUE(Send(sent));
    ASSERT_TRUE(WaitUntil([&] { return QdxCall(Endpoint(), "GetInfo").Code() == "200" &&
                                       Md5(ReadFile(QdxPath())) == Md5(sent); },
                          40));
    kill(agent_.pid(), SIGTERM);
    EXPECT_EQ(agent_.WaitExit(10), 0);
    EXPECT_TRUE(ScriptDone(5));
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the watcher looked every second
    EXPECT_NE(QdxCall(Endpoint(), "GetInfo").Code(), "200") << "an agent was started again";
    EXPECT_FALSE(fs::exists(QdxPath() + ".Failed"));
    EXPECT_EQ(FailLog().find("rolled back"), std::string::npos) << FailLog();
}

// The same in daemon mode, as when a package upgrade stops the service just after a self-upgrade:
// the new daemon told the script it is up.
TEST_F(Rollback, DaemonStoppedRightAfterTheUpgradeStaysStopped) {
    pid_t before = StartDaemon();
    ASSERT_GT(before, 0);
    const std::string sent = Contents(Sent::RealAgent);
    ASSERT_TRUE(Send(sent));
    pid_t now = 0;
    ASSERT_TRUE(WaitUntil([&] {
        now = PidIn(dir_.File("qdx.pid"));
        return now != before && QdxCall(Endpoint(), "GetInfo").Code() == "200";
    }, 40));
    kill(now, SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return !Alive(now); }, 10));
    EXPECT_TRUE(ScriptDone(5));
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the script looked every second
    EXPECT_NE(QdxCall(Endpoint(), "GetInfo").Code(), "200") << "an agent was started again";
    EXPECT_FALSE(fs::exists(QdxPath() + ".Failed"));
    EXPECT_EQ(FailLog().find("rolled back"), std::string::npos) << FailLog();
}

// A real agent stays in daemon mode: its daemon is the one in the PID file, and stays.
TEST_F(Rollback, RealAgentStaysDaemon) {
    pid_t before = StartDaemon();
    ASSERT_GT(before, 0);
    const std::string sent = Contents(Sent::RealAgent);
    ASSERT_TRUE(Send(sent));
    ExpectUpgraded(sent);
    pid_t now = PidIn(dir_.File("qdx.pid"));
    EXPECT_NE(now, before);
    EXPECT_TRUE(Alive(now));
    EXPECT_EQ(ProcessesMentioning(agent_.config()), std::vector<pid_t>{now}) << "a second start";
}

// A service manager as the packaged unit has it (forking, PID file, restart on failure): the
// process the start command leaves in the PID file is the main process; when it ends, a live
// process other than it in the PID file becomes the main process, otherwise every process of the
// service is killed, and the service started again after a failure. This test process is the
// manager: orphans of the service become its children (a child subreaper), so it sees every end.
class Supervisor {
public:
    Supervisor(std::string program, std::vector<std::string> args, std::string pidfile)
        : program_(std::move(program)), args_(std::move(args)), pidfile_(std::move(pidfile)) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        StartService();
        thread_ = std::thread([this] { Watch(); });
    }
    ~Supervisor() {
        stop_ = true;
        thread_.join();
        KillService();
        prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    pid_t MainPid() const { return main_.load(); }
    int Starts() const { return starts_.load(); }
    bool Stopped() const { return stopped_.load(); }

private:
    void StartService() {
        starts_++;
        RunResult run = RunProgram(program_.c_str(), args_, 20);
        main_ = run.exitCode == 0 ? PidIn(pidfile_) : -1;
        if (main_ <= 0) stopped_ = true;
    }
    // Every process below this one.
    std::vector<pid_t> ServiceProcesses() {
        std::vector<pid_t> found;
        for (pid_t pid : ProcessesMentioning("")) {
            pid_t parent = pid;
            for (int depth = 0; depth < 64 && parent > 1; depth++) {
                std::string stat = ReadFile("/proc/" + std::to_string(parent) + "/stat");
                size_t close = stat.rfind(')');
                if (close == std::string::npos) break;
                parent = std::atoi(stat.c_str() + close + 4);
                if (parent == getpid()) {
                    found.push_back(pid);
                    break;
                }
            }
        }
        return found;
    }
    void KillService() {
        for (int round = 0; round < 3; round++)
            for (pid_t pid : ServiceProcesses()) kill(pid, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    void Watch() {
        while (!stop_) {
            int status = 0;
            pid_t ended = waitpid(-1, &status, WNOHANG);
            if (ended <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (ended != main_.load()) continue;
            pid_t named = PidIn(pidfile_);
            if (named > 0 && named != ended && Alive(named)) {
                main_ = named;  // the service moved to a new main process
                continue;
            }
            bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
            KillService();
            if (!failed) {
                stopped_ = true;
                main_ = -1;
                continue;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            StartService();
        }
    }

    std::string program_;
    std::vector<std::string> args_;
    std::string pidfile_;
    std::atomic<pid_t> main_{-1};
    std::atomic<int> starts_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The shell script of the review under the service manager: the agent comes back, and the service
// never ends or restarts on the way.
TEST_F(Rollback, ShellScriptUnderAServiceManager) {
    Supervisor service(QdxPath(), {"-d", agent_.config()}, dir_.File("qdx.pid"));
    ASSERT_GT(service.MainPid(), 0);
    const std::string sent = Contents(Sent::ShellScript);
    ASSERT_TRUE(Send(sent));
    ExpectRolledBack(sent, "the new executable exited with status 0");
    EXPECT_TRUE(ScriptDone(5));
    EXPECT_TRUE(WaitUntil([&] { return service.MainPid() == PidIn(dir_.File("qdx.pid")); }, 5));
    EXPECT_TRUE(Alive(service.MainPid()));
    EXPECT_FALSE(service.Stopped());
    EXPECT_EQ(service.Starts(), 1);
}

// A real agent under the service manager: the manager follows it to its daemon.
TEST_F(Rollback, RealAgentUnderAServiceManager) {
    Supervisor service(QdxPath(), {"-d", agent_.config()}, dir_.File("qdx.pid"));
    pid_t before = service.MainPid();
    ASSERT_GT(before, 0);
    const std::string sent = Contents(Sent::RealAgent);
    ASSERT_TRUE(Send(sent));
    ExpectUpgraded(sent);
    EXPECT_TRUE(WaitUntil([&] { return service.MainPid() != before; }, 5));
    EXPECT_EQ(service.MainPid(), PidIn(dir_.File("qdx.pid")));
    EXPECT_TRUE(Alive(service.MainPid()));
    EXPECT_FALSE(service.Stopped());
    EXPECT_EQ(service.Starts(), 1);
}

}  // namespace
