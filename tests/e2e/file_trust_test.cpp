// Files the agent trusts, end to end: a configuration file that others could change is refused at
// start-up, on reload and by qdxctl verify-config; a script that others could change is not run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "harness.h"

namespace {

constexpr uid_t kNobody = 65534;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

// Each way of leaving the configuration open to others, refused by the agent and by verify-config
// with the path at fault and the reason.
TEST(FileTrust, ConfigurationOthersCouldChangeIsRefused) {
    struct Case {
        const char* what;
        bool needsRoot;
        std::function<std::string(const TempDir& dir, const std::string& cfg)> spoil;  // the reason
    };
    const Case cases[] = {
        {"writable by all", false,
         [](const TempDir&, const std::string& cfg) {
             chmod(cfg.c_str(), 0666);
             return "'" + cfg + "' is writable by others (mode 0666)";
         }},
        {"writable by its group", false,
         [](const TempDir&, const std::string& cfg) {
             chmod(cfg.c_str(), 0660);
             return "'" + cfg + "' is writable by its group (mode 0660)";
         }},
        {"its folder writable by all", false,
         [](const TempDir&, const std::string& cfg) {
             const std::string folder = cfg.substr(0, cfg.rfind('/'));
             chmod(folder.c_str(), 0777);
             return "'" + folder + "' is writable by others (mode 0777)";
         }},
        {"owned by nobody", true,
         [](const TempDir&, const std::string& cfg) {
             EXPECT_EQ(chown(cfg.c_str(), kNobody, kNobody), 0);
             return "'" + cfg + "' belongs to user 65534, not to root";
         }},
    };
    for (const Case& c : cases) {
        if (c.needsRoot && geteuid() != 0) continue;  // only root gives files away; CI runs as root
        TempDir dir;
        Agent agent(dir);
        std::string reason = c.spoil(dir, agent.config());
        RunResult start = RunAgentToExit({"-i", agent.config()}, 10);
        EXPECT_EQ(start.exitCode, 1) << c.what;
        EXPECT_TRUE(Contains(start.out,
                             "Settings checking .. Error\nConfiguration file refused: " + reason +
                                 "\nPlease check '" + agent.config() + "' file\n"))
            << c.what << ":\n"
            << start.out;
        RunResult verify = RunProgram(QDXCTL_BINARY, {"verify-config", agent.config()});
        EXPECT_EQ(verify.exitCode, 1) << c.what;
        EXPECT_TRUE(Contains(verify.err, "Configuration file refused: " + reason)) << verify.err;
    }
}

// A reload of a file that has become writable by others keeps the settings in force.
TEST(FileTrust, ReloadOfAConfigurationOthersCouldChangeIsRefused) {
    TempDir dir;
    Agent agent(dir, "comment=before\nallowmanage=1\n");
    ASSERT_TRUE(agent.Start());
    WriteFile(agent.config(), ReadFile(agent.config()) + "comment=after\n");
    chmod(agent.config().c_str(), 0646);
    QdxReplyText reload = agent.Call("ReloadCfg");
    EXPECT_EQ(reload.Code(), "300");
    EXPECT_TRUE(Contains(reload.text, "Configuration file refused: '" + agent.config() +
                                          "' is writable by others (mode 0646)"))
        << reload.text;
    EXPECT_TRUE(Contains(agent.Call("GetInfo").text, "\nComment=before\n"));
    chmod(agent.config().c_str(), 0600);
    EXPECT_EQ(agent.Call("ReloadCfg").Code(), "200");
    EXPECT_TRUE(Contains(agent.Call("GetInfo").text, "\nComment=after\n"));
}

// An unprivileged user starting the agent from files of their own, as from a checkout.
TEST(FileTrust, UserStartsTheAgentFromTheirOwnFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "runs as root, to be another user; CI runs as root";
    TempDir dir;
    Agent agent(dir);
    ASSERT_EQ(chown(dir.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(agent.configDir().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(agent.config().c_str(), kNobody, kNobody), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
        execl(QDX_BINARY, "qdx", "-i", agent.config().c_str(), static_cast<char*>(nullptr));
        _exit(101);
    }
    ASSERT_GT(pid, 0);
    bool answered = WaitUntil([&] { return agent.Call("GetInfo").Code() == "200"; }, 20);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(answered) << "exit status " << status;
}

// The three scripts of the settings and the temporary folder they write into: a script, its
// folder or that temporary folder writable by others, and the script is not run.
TEST(FileTrust, ScriptsOthersCouldChangeAreNotRun) {
    TempDir dir;
    std::string scripts = dir.File("scripts");
    std::string tmp = dir.File("tmp");
    ASSERT_EQ(mkdir(scripts.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    std::string witness = dir.File("ran");
    struct Script {
        const char* command;
        const char* key;
        const char* what;
        const char* output;
    } const kScripts[] = {
        {"TEST-Process", "proccntscript", "ProcCnt", "3"},
        {"TEST-CPU", "cpuusagescript", "CPUUsage", "12.5"},
        {"GetProcessesList", "proclistscript", "ProcList", "init"},
    };
    std::string settings = "tmpdir=" + tmp + "\ndelayforscripts=0\n";
    for (const Script& s : kScripts) {
        std::string path = scripts + "/" + s.key + ".sh";
        WriteFile(path, "#!/bin/sh\necho x >> '" + witness + "'\necho " + s.output + "\n");
        chmod(path.c_str(), 0755);
        settings += std::string(s.key) + "=" + path + "\n";
    }
    Agent agent(dir, settings);
    ASSERT_TRUE(agent.Start());

    struct Case {
        const char* what;
        std::function<std::string(const std::string& script)> spoil;  // the reason
        std::function<void(const std::string& script)> mend;
    };
    const Case cases[] = {
        {"the script writable by all",
         [](const std::string& script) {
             chmod(script.c_str(), 0777);
             return "'" + script + "' is writable by others (mode 0777)";
         },
         [](const std::string& script) { chmod(script.c_str(), 0755); }},
        {"its folder writable by its group",
         [&](const std::string&) {
             chmod(scripts.c_str(), 0775);
             return "'" + scripts + "' is writable by its group (mode 0775)";
         },
         [&](const std::string&) { chmod(scripts.c_str(), 0755); }},
        {"the temporary folder writable by all",
         [&](const std::string&) {
             chmod(tmp.c_str(), 0777);
             return "'" + tmp + "' is writable by others (mode 0777)";
         },
         [&](const std::string&) { chmod(tmp.c_str(), 0700); }},
    };
    for (const Script& s : kScripts) {
        std::string script = scripts + "/" + s.key + ".sh";
        for (const Case& c : cases) {
            std::string reason = c.spoil(script);
            QdxReplyText refused = agent.Call(s.command, {"", "qdx"});
            EXPECT_EQ(refused.text, "301\nCannot execute script\n\r")
                << s.command << ", " << c.what;
            std::string line = std::string(s.what) + " script refused: " + reason + "\n";
            EXPECT_TRUE(
                WaitUntil([&] { return Contains(ReadFile(agent.LogFile("log2.txt")), line); }, 5))
                << line;
            c.mend(script);
        }
        EXPECT_EQ(ReadFile(witness), "") << "a refused script ran";
        QdxReplyText ran = agent.Call(s.command, {"", "qdx"});
        EXPECT_EQ(ran.Code(), "200") << s.command << ": " << ran.text;
        EXPECT_EQ(ReadFile(witness), "x\n");
        std::remove(witness.c_str());
    }
}
