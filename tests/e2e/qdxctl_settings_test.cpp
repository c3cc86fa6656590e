// qdxctl set and settings against the real agent: every NAME=VALUE checked before anything is
// sent, a dry run that changes nothing, the read-back after a change (with a fake agent for a
// setting that does not hold), and the password masked.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_agent.h"
#include "harness.h"

namespace {

class QdxctlSettings : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent.Start()); }
    RunResult Qdxctl(std::vector<std::string> args, int port = 0) {
        args.insert(args.begin(), {"-p", std::to_string(port ? port : agent.port()), "-t", "3000"});
        return RunProgram(QDXCTL_BINARY, args, 30, {"QDX_PASSWORD=" + Agent::Password()});
    }
    std::string Setting(const std::string& key) {
        for (const std::string& line : agent.Call("GetSettings").Lines())
            if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        return "<none>";
    }
    TempDir dir;
    Agent agent{dir, "comment=from the file\n"};
};

// The agent ignores names it does not know and stores whatever its decoder makes of a value;
// qdxctl refuses them before it sends anything.
TEST_F(QdxctlSettings, RefusesWhatTheAgentWouldIgnoreOrMisread) {
    struct Case {
        std::vector<std::string> words;
        const char* says;
    } cases[] = {
        {{"foldersize=1"}, "no setting \"foldersize\" (did you mean \"Folder Size\"?)"},
        {{"folder size=1"}, "did you mean \"Folder Size\"?"},
        {{"Shell Script=0"}, "no setting \"Shell Script\""},
        {{"Timeout=abc"}, "Timeout=abc: give milliseconds"},
        {{"Comment"}, "\"Comment\" is not NAME=VALUE"},
        {{"TCP=yes"}, "TCP=yes: give 0 or 1"},
        {{"Port=0"}, "give a port from 1 to 65535"},
        {{"Password="}, "the password cannot be empty"},
        {{"ManageAddr=localhost"}, "\"localhost\" is not an address"},
        {{"IPFilterAddr=10.0.0"}, "\"10.0.0\" is not an address"},
        {{"IPFilterMarks=12"}, "one 0 or 1 per filter entry"},
        {{"Comment=a", "Comment=b"}, "Comment is given twice"},
        // One bad item stops the good ones too.
        {{"Comment=changed", "Timeout=5x"}, "Timeout=5x"},
        {{"--bogus", "Comment=x"}, "unknown option --bogus of set"},
    };
    std::string before = ReadFile(agent.config());
    for (const Case& c : cases) {
        std::vector<std::string> args = {"set"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        RunResult run = Qdxctl(args);
        EXPECT_EQ(run.exitCode, 64) << c.words[0] << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.words[0] << "\n" << run.err;
        EXPECT_EQ(run.out, "");
    }
    // The list of valid names comes with a wrong name.
    RunResult wrong = Qdxctl({"set", "foldersize=1"});
    EXPECT_NE(wrong.err.find("  Folder Size "), std::string::npos) << wrong.err;
    // Nothing reached the agent: this is its first connection, and the file and the settings
    // are as they were.
    EXPECT_NE(agent.Call("GetInfo").text.find("\nOpenedConnections=1\n"), std::string::npos);
    EXPECT_EQ(ReadFile(agent.config()), before);
    EXPECT_EQ(Setting("Comment"), "from the file");
}

TEST_F(QdxctlSettings, DryRunShowsTheChangesAndChangesNothing) {
    std::string before = ReadFile(agent.config());
    RunResult run = Qdxctl({"set", "--dry-run", "Comment=x", "Timeout=0", "Folder Size=1", "Ping=0"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out,
              "200\n"
              "Comment: \"from the file\" -> \"x\"\n"
              "Timeout: \"4000\" (unchanged)\n"
              "Folder Size: \"1\" (unchanged)\n"
              "Ping: (not reported by GetSettings) -> \"0\"\n");
    EXPECT_EQ(ReadFile(agent.config()), before);
    EXPECT_EQ(Setting("Comment"), "from the file");
}

TEST_F(QdxctlSettings, ReadsBackWhatItChanged) {
    RunResult run = Qdxctl({"set", "Comment= changed ", "Timeout=0", "Folder Size=0",
                            "Syslog=1", "IPFilterAddr=10.0.0.1, 10.0.0.2"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out,
              "200\n"
              "Comment: holds \"changed\"\n"
              "Timeout: holds \"4000\"\n"
              "Folder Size: holds \"0\"\n"
              "Syslog: holds \"1\"\n"
              "IPFilterAddr: holds \"10.0.0.1,10.0.0.2\"\n");
    EXPECT_EQ(Setting("Comment"), "changed");

    // A new password and port: the read-back follows them.
    int port = FreePort();
    RunResult moved =
        Qdxctl({"set", "Password=moved-secret", "Port=" + std::to_string(port)});
    EXPECT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    EXPECT_EQ(moved.out, "200\nPassword: holds ********\nPort: holds \"" + std::to_string(port) +
                             "\"\n");

    // A management list that leaves qdxctl out: the change cannot be read back.
    RunResult outside = RunProgram(
        QDXCTL_BINARY, {"-p", std::to_string(port), "set", "ManageAddr=10.9.9.9"}, 30,
        {"QDX_PASSWORD=moved-secret"});
    EXPECT_EQ(outside.exitCode, 0) << outside.out << outside.err;
    EXPECT_EQ(outside.out.rfind("200\nManageAddr: not verified: the read-back got 600", 0), 0u)
        << outside.out;
}

// An agent that answers "200" and keeps the old value: the setting is named, exit 1.
TEST(QdxctlSettingsFake, NamesASettingThatDoesNotHold) {
    FakeAgent fake(Agent::Password(), [](const FakeAgent::Request& request,
                                        const std::atomic<bool>&) -> std::optional<std::string> {
        if (request.command == "SetSettings") return "200";
        return "200\nComment=old\nTimeout=4000";
    });
    RunResult run = RunProgram(
        QDXCTL_BINARY, {"-p", std::to_string(fake.port()), "set", "Comment=new", "Timeout=4000"},
        20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.out,
              "200\nComment: DOES NOT HOLD: sent \"new\", reads \"old\"\nTimeout: holds \"4000\"\n");
}

TEST_F(QdxctlSettings, PasswordMaskedUnlessAsked) {
    RunResult named = Qdxctl({"settings"});
    EXPECT_NE(named.out.find("\npassword: ********\n"), std::string::npos) << named.out;
    EXPECT_EQ(named.out.find(Agent::Password()), std::string::npos);
    RunResult json = Qdxctl({"--json", "settings"});
    EXPECT_EQ(nlohmann::json::parse(json.out)["values"]["password"], "********");
    EXPECT_EQ(json.out.find(Agent::Password()), std::string::npos);
    std::string list = dir.File("hosts");
    WriteFile(list, "127.0.0.1:" + std::to_string(agent.port()) + "\n");
    RunResult hosts = Qdxctl({"--hosts", list, "GetSettings"});
    EXPECT_NE(hosts.out.find(" password=********"), std::string::npos) << hosts.out;
    EXPECT_EQ(hosts.out.find(Agent::Password()), std::string::npos);
    RunResult shown = Qdxctl({"--show-password", "settings"});
    EXPECT_NE(shown.out.find("\npassword: " + Agent::Password() + "\n"), std::string::npos);
}

}  // namespace
