// qdxctl upgrade's own checks: what it refuses to send, what it reports when the agent comes back
// running another executable (rolled back) or cannot tell (not verified), its dry run, and a
// fleet upgrade that stops at the first failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <filesystem>

#include "harness.h"

namespace {

std::string OtherMachine() {
    utsname system{};
    uname(&system);
    return std::string(system.machine) == "aarch64" ? "x86_64" : "aarch64";
}

// An agent whose "qdxpath" is a copy of the built agent in its own folder.
class QdxctlUpgrade : public ::testing::Test {
protected:
    std::string Extra(const std::string& more = "") {
        std::filesystem::create_directories(dir.File("bin"));
        std::filesystem::copy_file(AgentImage(), QdxPath(),
                                   std::filesystem::copy_options::overwrite_existing);
        WriteFile(NewAgent(), ReadFile(AgentImage()) + "\nnew build marker\n");
        return "qdxpath=" + QdxPath() + "\n" + more;
    }
    std::string QdxPath() const { return dir.File("bin/qdx"); }
    std::string NewAgent() const { return dir.File("new-qdx"); }
    RunResult Upgrade(const Agent& agent, std::vector<std::string> args) {
        args.insert(args.begin(), {"-p", std::to_string(agent.port()), "upgrade", "--wait", "30"});
        return RunProgram(QDXCTL_BINARY, args, 60, {"QDX_PASSWORD=" + Agent::Password()});
    }
    static std::string Opened(Agent& agent) {
        for (const std::string& line : agent.Call("GetInfo").Lines())
            if (line.rfind("OpenedConnections=", 0) == 0) return line.substr(18);
        return "";
    }
    TempDir dir;
};

// Files that cannot be an agent never reach one.
TEST_F(QdxctlUpgrade, RefusesWhatCannotBeAnAgent) {
    Agent agent(dir, Extra());
    ASSERT_TRUE(agent.Start());
    std::string script = dir.File("script.sh"), tiny = dir.File("tiny");
    WriteFile(script, "#!/bin/sh\n" + std::string(300, '#') + "\nexec /bin/true\n");
    WriteFile(tiny, "#!/bin/sh\n");
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{script}, "is not an ELF executable (no ELF magic); --force sends it anyway"},
        {{"--machine", OtherMachine(), NewAgent()}, "not for " + OtherMachine()},
        {{"--machine", "vax", NewAgent()}, "--machine vax: give one of x86_64, i386, aarch64"},
        {{"--force", tiny}, "is 10 bytes; an upgrade carries 101 to 10,485,759 bytes"},
        {{dir.path()}, "not a regular file"},
    };
    for (const Case& c : cases) {
        RunResult run = Upgrade(agent, c.args);
        EXPECT_EQ(run.exitCode, 64) << c.args[0];
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    EXPECT_EQ(Opened(agent), "1") << "qdxctl contacted the agent";
    EXPECT_EQ(ReadFile(QdxPath()), ReadFile(AgentImage()));
}

TEST_F(QdxctlUpgrade, DryRunAsksGetInfoOnly) {
    Agent agent(dir, Extra());
    ASSERT_TRUE(agent.Start());
    RunResult run = Upgrade(agent, {"--dry-run", "--qdxpath", QdxPath(), NewAgent()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("would send " + NewAgent() + " (", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("ELF executable for"), std::string::npos);
    EXPECT_NE(run.out.find("compare the CRC-32 of " + QdxPath()), std::string::npos);
    EXPECT_EQ(Opened(agent), "2");  // the dry run's GetInfo and this one
    EXPECT_EQ(ReadFile(QdxPath()), ReadFile(AgentImage()));
}

// The agent comes back, but the executable qdxctl is told to look at is not the file sent: as
// after a roll-back, the upgrade failed. Without the file test, it cannot tell.
TEST_F(QdxctlUpgrade, KnowsWhenTheAgentRunsAnotherExecutable) {
    Agent agent(dir, Extra());
    ASSERT_TRUE(agent.Start());
    RunResult rolled = Upgrade(agent, {"--qdxpath", AgentImage(), NewAgent()});
    EXPECT_EQ(rolled.exitCode, 1) << rolled.out << rolled.err;
    EXPECT_NE(rolled.err.find("rolled back: the agent came back, but " + AgentImage() +
                              " has CRC-32 "),
              std::string::npos)
        << rolled.err;
    EXPECT_EQ(rolled.out, "200\n");

    TempDir other;
    std::filesystem::create_directories(other.File("bin"));
    std::filesystem::copy_file(AgentImage(), other.File("bin/qdx"));
    Agent blind(other, "filecrc=0\nqdxpath=" + other.File("bin/qdx") + "\n");
    ASSERT_TRUE(blind.Start());
    RunResult unverified = Upgrade(blind, {"--qdxpath", other.File("bin/qdx"), NewAgent()});
    EXPECT_EQ(unverified.exitCode, 1) << unverified.err;
    EXPECT_NE(unverified.err.find("upgrade not verified: TEST-FileCRC of " + other.File("bin/qdx") +
                                  " got 600 test is not allowed"),
              std::string::npos)
        << unverified.err;
}

// The same upgrade over the TLS port: UpgradeCode, the executable and its digest inside TLS,
// and the agent asked over TLS again once it is back.
TEST_F(QdxctlUpgrade, UpgradesOverTheTlsPort) {
    const std::string psk = dir.File("psk"), tlsPort = std::to_string(FreePort());
    WriteFile(psk, "00112233445566778899aabbccddeeff\n");
    chmod(psk.c_str(), 0600);
    Agent agent(dir,
                Extra("tlsport=" + tlsPort + "\ntlspskidentity=monitor\ntlspskfile=" + psk + "\n"));
    ASSERT_TRUE(agent.Start());
    RunResult run = RunProgram(QDXCTL_BINARY,
                               {"-p", tlsPort, "--tls-psk-identity", "monitor", "--tls-psk-file",
                                psk, "upgrade", "--wait", "30", "--qdxpath", QdxPath(), NewAgent()},
                               60, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("the agent has restarted and runs " + NewAgent()), std::string::npos)
        << run.out << run.err;
    EXPECT_TRUE(ReadFile(QdxPath()) == ReadFile(NewAgent()));
}

TEST_F(QdxctlUpgrade, FleetStopsAtTheFirstFailure) {
    Agent refusing(dir, Extra("updateaddr=127.0.0.2\n"));
    TempDir other;
    Agent second(other);
    ASSERT_TRUE(refusing.Start());
    ASSERT_TRUE(second.Start());
    std::string a = "127.0.0.1:" + std::to_string(refusing.port());
    std::string b = "127.0.0.1:" + std::to_string(second.port());
    std::string list = dir.File("two.txt");
    WriteFile(list, a + "\n" + b + "\n");
    RunResult run = RunProgram(
        QDXCTL_BINARY, {"--hosts", list, "--parallel", "1", "upgrade", NewAgent()}, 60,
        {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find(a + " 600 Operation is not allowed\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(b), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("stopped after 1 failure (--max-failures 1); 2 hosts: 0 upgraded, 0 not "
                           "verified, 1 failed, 1 not attempted\nfailed: " +
                           a + "\nnot attempted: " + b + "\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Opened(second), "1");

    // With room for two failures the second host is tried (here as a dry run).
    WriteFile(list, "127.0.0.1:" + std::to_string(FreePort()) + "\n" + b + "\n");
    RunResult lenient = RunProgram(QDXCTL_BINARY,
                                   {"--hosts", list, "--parallel", "1", "upgrade",
                                    "--max-failures", "2", "--dry-run", NewAgent()},
                                   60, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(lenient.exitCode, 1);
    EXPECT_NE(lenient.out.find(b + " would send"), std::string::npos) << lenient.out;
}

}  // namespace
