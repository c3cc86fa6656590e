// The administrator's client against a running agent: output and exit status.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

class QdxctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(agent.Start());
        WriteFile(dir.File("password"), Agent::Password() + "\n");
    }
    RunResult Qdxctl(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), {"-p", std::to_string(agent.port()), "-t", "5000"});
        return RunProgram(QDXCTL_BINARY, args, 20, env);
    }
    TempDir dir;
    Agent agent{dir, "comment=from the file\n"};
};

TEST_F(QdxctlTest, ExitStatusFollowsTheResult) {
    RunResult ok = Qdxctl({"-f", dir.File("password"), "GetInfo"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out.rfind("200\nagent_name: Brenn Quodex\n", 0), 0u) << ok.out;

    RunResult unknown = Qdxctl({"quit"}, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "500\nUnknown command \"quit\"\n");

    RunResult raw = Qdxctl({"--raw", "TEST-Ping"}, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(raw.out, "500\nnot implemented yet\n\r");

    // List values are shown decoded in every command's output; --raw keeps the wire text.
    EXPECT_NE(ok.out.find("\navailable_tests: TCP,UDP,UNC,Folder Size,Count Files,File Availability,"
                          "File Integrity,File Compare,Text Log,Process,CPU Usage,External,"
                          "Shell Script\n"),
              std::string::npos)
        << ok.out;
    RunResult rawInfo = Qdxctl({"-r", "GetInfo"}, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_NE(
        rawInfo.out.find("\nAvailable actions=Execute external command%0D%0ATCP/UDP send%0D%0A"
                         "Syslog%0D%0A\n"),
        std::string::npos)
        << rawInfo.out;

    RunResult wrong = Qdxctl({"GetInfo"}, {"QDX_PASSWORD=wrong"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err.find("no reply"), std::string::npos) << wrong.err;

    RunResult nopassword = Qdxctl({"GetInfo"});
    EXPECT_NE(nopassword.exitCode, 0);
    EXPECT_NE(nopassword.err.find("no password"), std::string::npos);
}

TEST_F(QdxctlTest, ReadsAndChangesSettings) {
    std::string pw = "QDX_PASSWORD=" + Agent::Password();
    RunResult set =
        Qdxctl({"set", "Comment=changed by qdxctl", "IPFilterAddr=10.0.0.1,10.0.0.2"}, {pw});
    EXPECT_EQ(set.exitCode, 0) << set.out << set.err;
    RunResult settings = Qdxctl({"settings"}, {pw});
    EXPECT_EQ(settings.exitCode, 0);
    EXPECT_NE(settings.out.find("\ncomment: changed by qdxctl\n"), std::string::npos)
        << settings.out;
    EXPECT_NE(settings.out.find("\nip_filter_addr: 10.0.0.1,10.0.0.2\n"), std::string::npos);
    EXPECT_NE(settings.out.find("\navailable_actions: Execute external command,TCP/UDP send,"
                                "Syslog\n"),
              std::string::npos);
}

TEST_F(QdxctlTest, LoadModeReportsThroughput) {
    RunResult load =
        Qdxctl({"load", "-n", "50", "-c", "4", "GetInfo"}, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(load.exitCode, 0) << load.out;
    EXPECT_NE(load.out.find("requests 50  concurrency 4  failures 0"), std::string::npos)
        << load.out;
    EXPECT_NE(load.out.find("requests/s "), std::string::npos);
}

}  // namespace
