// GetSettings and SetSettings against the running agent, including port switching.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

bool HasLine(const QdxReplyText& reply, const std::string& line) {
    for (const std::string& l : reply.Lines())
        if (l == line) return true;
    return false;
}

std::string Counterless(std::string line) {
    // The connection counters move between two requests.
    for (const char* counter : {"ActiveConnections=", "OpenedConnections="})
        if (line.rfind(counter, 0) == 0) return counter;
    return line;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent.Start()); }
    TempDir dir;
    Agent agent{dir, "# kept comment\nunknownkey = stays\nlogsuccess=yes\n"};
};

TEST_F(SettingsTest, GetSettingsBeginsWithTheGetInfoLines) {
    QdxReplyText info = agent.Call("GetInfo");
    QdxReplyText settings = agent.Call("GetSettings");
    ASSERT_EQ(settings.Code(), "200");
    std::vector<std::string> infoLines = info.Lines(), lines = settings.Lines();
    ASSERT_EQ(lines.size(), infoLines.size() + 12);
    for (size_t i = 0; i < infoLines.size(); i++)
        EXPECT_EQ(Counterless(lines[i]), Counterless(infoLines[i]));
    std::vector<std::string> expected = {"LogOkConn=0",
                                         "LogBadConn=1",
                                         "OkLogFile=log1.txt",
                                         "BadLogFile=log2.txt",
                                         "Password=" + Agent::Password(),
                                         "IPFiltering=0",
                                         "IPFilterAddr=127.0.0.1",
                                         "IPFilterMarks=1",
                                         "AllowUpdates=1",
                                         "AllowRManage=1",
                                         "UpdateAddr=127.0.0.1",
                                         "ManageAddr=127.0.0.1"};
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(lines[infoLines.size() + i], expected[i]);
}

TEST_F(SettingsTest, SetSettingsTrimsSplitsAtFirstEqualsAndIsCaseSensitive) {
    QdxReplyText reply = agent.Call(
        "SetSettings", {"Folder Size = 0", "folder size=1", "Comment=a=b", "Shell Script=0",
                        "LogOkConn=1", "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2", "no equals sign"});
    EXPECT_EQ(reply.text, "200\n\r");
    QdxReplyText settings = agent.Call("GetSettings");
    EXPECT_TRUE(HasLine(settings, "Enabled tests=1111111111111") == false);
    EXPECT_TRUE(HasLine(settings, "Enabled tests=1110111111111")) << settings.text;
    EXPECT_TRUE(HasLine(settings, "Comment=a=b"));
    EXPECT_TRUE(HasLine(settings, "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2"));

    // The file keeps what it had and holds the new values, on lines that end as its lines do.
    std::string cfg = ReadFile(agent.config());
    EXPECT_NE(cfg.find("# kept comment\n"), std::string::npos);
    EXPECT_NE(cfg.find("unknownkey = stays\n"), std::string::npos);
    EXPECT_NE(cfg.find("logsuccess=1es\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("comment=a=b\n"), std::string::npos);
    EXPECT_NE(cfg.find("foldersize=0\n"), std::string::npos);
    EXPECT_NE(cfg.find("shellscript=1\n"), std::string::npos);
    EXPECT_NE(cfg.find("filterlist=10.0.0.1 10.0.0.2\n"), std::string::npos);
    EXPECT_EQ(ReadFile(agent.config() + ".Old").find("comment="), std::string::npos);
    EXPECT_NE(access((agent.config() + ".New").c_str(), F_OK), 0);
}

// A file whose lines end with LF keeps LF on every line, the password's included, so that grep
// and shell tools read it as before; one whose lines end with CR LF keeps CR LF.
TEST_F(SettingsTest, RewrittenFileKeepsItsLineEnds) {
    std::string before = ReadFile(agent.config());
    ASSERT_EQ(before.find('\r'), std::string::npos);
    EXPECT_EQ(agent.Call("SetSettings", {"Comment=x"}).text, "200\n\r");
    std::string cfg = ReadFile(agent.config());
    EXPECT_EQ(cfg.find('\r'), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("\npassword=" + Agent::Password() + "\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("\ncomment=x\n"), std::string::npos) << cfg;
    EXPECT_EQ(cfg.rfind("qdxpath=" + std::string(QDX_BINARY) + "\n", 0), 0u) << "unmanaged, kept";

    TempDir crlfDir;
    Agent crlf(crlfDir, "comment=old\n");
    std::string lines = ReadFile(crlf.config()), crlfLines;
    for (char c : lines) crlfLines += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteFile(crlf.config(), crlfLines);
    ASSERT_TRUE(crlf.Start());
    EXPECT_EQ(crlf.Call("SetSettings", {"Comment=x"}).text, "200\n\r");
    cfg = ReadFile(crlf.config());
    for (size_t at = cfg.find('\n'); at != std::string::npos; at = cfg.find('\n', at + 1))
        EXPECT_EQ(cfg[at - 1], '\r') << cfg.substr(0, at);
    EXPECT_NE(cfg.find("\r\ncomment=x\r\n"), std::string::npos) << cfg;
}

// Bytes above 0x7F at either end of a value are part of it (a name in UTF-8), only control bytes
// and blanks are trimmed.
TEST_F(SettingsTest, ValuesKeepTheirNonAsciiEnds) {
    EXPECT_EQ(
        agent.Call("SetSettings", {" Comment = \xC3\xA9t\xC3\xA9 \xE5\x90\x8D\xE5\x89\x8D \r"})
            .text,
        "200\n\r");
    EXPECT_TRUE(
        HasLine(agent.Call("GetSettings"), "Comment=\xC3\xA9t\xC3\xA9 \xE5\x90\x8D\xE5\x89\x8D"));
    EXPECT_NE(
        ReadFile(agent.config()).find("\ncomment=\xC3\xA9t\xC3\xA9 \xE5\x90\x8D\xE5\x89\x8D\n"),
        std::string::npos);
}

TEST_F(SettingsTest, BrickingValuesAreRefusedWhole) {
    std::string before = ReadFile(agent.config());
    for (std::vector<std::string> params :
         std::vector<std::vector<std::string>>{{"Comment=changed", "Port=0"},
                                               {"Comment=changed", "Port=abc"},
                                               {"Comment=changed", "Port=65536"},
                                               {"Comment=changed", "Port=-1"},
                                               {"Comment=changed", "Password="},
                                               {"Comment=changed", "Password=   "}}) {
        EXPECT_EQ(agent.Call("SetSettings", params).text, "501\nWrong parameter\n\r") << params[1];
    }
    EXPECT_EQ(ReadFile(agent.config()), before);
    EXPECT_FALSE(HasLine(agent.Call("GetInfo"), "Comment=changed"));
}

TEST_F(SettingsTest, PortSwitchesAndFallsBack) {
    int newPort = FreePort();
    EXPECT_EQ(agent.Call("SetSettings", {"Port=" + std::to_string(newPort)}).Code(), "200");
    EXPECT_TRUE(agent.WaitForOutput("Server port switching .. Ok\n", 5));
    QdxEndpoint moved = agent.Endpoint();
    moved.port = newPort;
    QdxReplyText info = QdxCall(moved, "GetInfo");
    EXPECT_TRUE(HasLine(info, "Port=" + std::to_string(newPort))) << info.text;

    // A port already taken: the agent goes back to the one it had.
    int taken = 0;
    int blocker = OccupyPort(taken);
    EXPECT_EQ(QdxCall(moved, "SetSettings", {"Port=" + std::to_string(taken)}).Code(), "200");
    EXPECT_TRUE(agent.WaitForOutput("Error: cannot open new port for listening\n", 10));
    EXPECT_TRUE(agent.WaitForOutput("Return to original port\n", 10));
    close(blocker);
    info = QdxCall(moved, "GetInfo");
    EXPECT_TRUE(HasLine(info, "Port=" + std::to_string(newPort))) << info.text;
}

// Sends a SetSettings request on a connection opened earlier and returns the reply.
QdxReplyText SetOn(int sock, const std::string& setting) {
    String key = NewSessionKey();
    String packet = BuildRequestPacket(Agent::Password().c_str(), key,
                                       BuildRequestText("SetSettings", {setting}));
    return QdxExchange(sock, packet, key, 10000);
}

// The new port is opened while the old one still listens: during the three attempts at a port that
// is taken, the old port keeps accepting, and a port change that arrives meanwhile is not undone.
TEST_F(SettingsTest, OldPortListensUntilTheNewOneIsProven) {
    const int original = agent.port();
    int taken = 0;
    int blocker = OccupyPort(taken);
    ASSERT_EQ(agent.Call("SetSettings", {"Port=" + std::to_string(taken)}).Code(), "200");
    usleep(1500 * 1000);  // the accept loop is now trying the taken port
    QdxReplyText info = agent.Call("GetInfo");
    EXPECT_EQ(info.Code(), "200") << info.error;
    EXPECT_TRUE(agent.WaitForOutput("Return to original port\n", 10));
    EXPECT_TRUE(HasLine(agent.Call("GetInfo"), "Port=" + std::to_string(original)));

    // A session opened before the switch changes the port again while the loop is busy.
    QdxReplyText ignored;
    int early = QdxConnect(agent.Endpoint(), ignored.error);
    ASSERT_GE(early, 0);
    ASSERT_EQ(agent.Call("SetSettings", {"Port=" + std::to_string(taken)}).Code(), "200");
    usleep(1500 * 1000);
    int next = FreePort();
    EXPECT_EQ(SetOn(early, "Port=" + std::to_string(next)).Code(), "200");
    close(early);
    EXPECT_TRUE(agent.WaitForOutput("Server port switching .. Ok\n", 10));
    close(blocker);
    QdxEndpoint moved = agent.Endpoint();
    moved.port = next;
    info = QdxCall(moved, "GetInfo");
    EXPECT_TRUE(HasLine(info, "Port=" + std::to_string(next))) << info.text << info.error;
}

}  // namespace
