// Requests and replies against the running agent: framing, authentication, dispatch, rights,
// time-outs and the management commands.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sends a prepared packet (optionally in slices) and returns what came back, decrypted.
QdxReplyText Exchange(const Agent& agent, const String& packet, const String& key,
                      size_t slice = 0) {
    QdxReplyText reply;
    int sock = QdxConnect(agent.Endpoint(), reply.error);
    if (sock < 0) return reply;
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    size_t length = static_cast<size_t>(packet.Length());
    size_t step = slice ? slice : length;
    for (size_t at = 0; at < length; at += step) {
        QdxSend(sock, packet.Data() + at, std::min(step, length - at));
        if (slice) usleep(2000);
    }
    reply = QdxExchange(sock, String(), key, 5000);  // only reads the reply
    close(sock);
    return reply;
}

QdxReplyText SendText(const Agent& agent, const std::string& requestText, size_t slice = 0) {
    String key = NewSessionKey();
    String text(requestText.data(), static_cast<int>(requestText.size()));
    return Exchange(agent, BuildRequestPacket(Agent::Password().c_str(), key, text), key, slice);
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent.Start()); }
    TempDir dir;
    Agent agent{dir, "comment=e2e agent\n"};
};

TEST_F(AgentTest, GetInfoDescribesTheAgent) {
    QdxReplyText reply = agent.Call("GetInfo");
    ASSERT_EQ(reply.status, CallStatus::Ok) << reply.error;
    std::vector<std::string> expected = {
        "AgentName=Brenn Quodex",
        "AgentPlatform=FreeBSD",
        "AgentVersion=1.30",
        "AgentDeveloper=Brennware",
        "Service=0",
        "Active=0",
        "ActiveConnections=1",
        "OpenedConnections=1",
        "FailedConnections=0",
        "Available tests=TCP%0D%0AUDP%0D%0AUNC%0D%0AFolder Size%0D%0ACount Files%0D%0A"
        "File Availability%0D%0AFile Integrity%0D%0AFile Compare%0D%0AText Log%0D%0A"
        "Process%0D%0ACPU Usage%0D%0AExternal%0D%0AShell Script%0D%0A",
        "Enabled tests=1111111111111",
        "Port=" + std::to_string(agent.port()),
        "Timeout=4000",
        "Comment=e2e agent",
        "Available actions=Execute external command%0D%0ATCP/UDP send%0D%0ASyslog%0D%0A",
        "Enabled actions=000",
    };
    std::vector<std::string> lines = reply.Lines();
    ASSERT_EQ(lines.size(), expected.size() + 3) << reply.text;
    EXPECT_EQ(reply.Code(), "200");
    for (size_t i = 0; i < expected.size(); i++) EXPECT_EQ(lines[i], expected[i]);
    EXPECT_EQ(lines[16].rfind("HostName=", 0), 0u);
    EXPECT_EQ(lines[17].rfind("RunningOS=", 0), 0u);
    EXPECT_EQ(lines[18], "OSUpdates=not implemented");
    EXPECT_EQ(reply.text.back(), '\r');
    EXPECT_TRUE(agent.WaitForOutput("--> request processed (200)\n", 5));
}

TEST_F(AgentTest, PacketSplitOverManySegmentsIsAnsweredOnce) {
    QdxReplyText reply = SendText(agent, "GetInfo\n\r", 3);
    EXPECT_EQ(reply.Code(), "200");
    EXPECT_NE(reply.text.find("OpenedConnections=1\n"), std::string::npos);
}

TEST_F(AgentTest, DispatchRefusals) {
    struct Case {
        std::string text;
        std::string reply;
    } cases[] = {
        {"GetInfo\n", "502\nEndOfTransmission signal missed\n\r"},
        {"  \t\r", "500\nVoid request received\n\r"},
        {"\n\r", "500\nVoid request received\n\r"},
        {"quit\n\r", "500\nUnknown command \"quit\"\n\r"},
        {"TEST-Ping\n\r", "500\nnot implemented yet\n\r"},
        {"GetServicesList\n\r", "500\nNot applicable for UNIX/Linux\n\r"},
    };
    for (const Case& c : cases) {
        QdxReplyText reply = SendText(agent, c.text);
        ASSERT_EQ(reply.status, CallStatus::Ok) << c.text;
        EXPECT_EQ(reply.text, c.reply);
    }
    EXPECT_TRUE(agent.WaitForOutput("--> request rejected or operation failed (500)\n", 5));
    EXPECT_TRUE(agent.WaitForOutput("Unknown command \"quit\"\n", 5));
    EXPECT_EQ(agent.Call("GetInfo").Code(), "200") << "the agent keeps serving";
}

TEST_F(AgentTest, WrongPasswordGetsNoReply) {
    QdxEndpoint endpoint = agent.Endpoint();
    endpoint.password = "not-the-password";
    QdxReplyText reply = QdxCall(endpoint, "GetInfo");
    EXPECT_EQ(reply.status, CallStatus::NoReply);
    EXPECT_TRUE(agent.WaitForOutput("<-- Invalid ZP request received\n", 5));
}

TEST_F(AgentTest, OversizedLengthFieldIsDroppedAtOnce) {
    QdxReplyText ignored;
    int sock = QdxConnect(agent.Endpoint(), ignored.error);
    ASSERT_GE(sock, 0);
    const char header[] = "\xff\xff\xff\x7f\x03\x12";
    QdxSend(sock, header, sizeof header - 1);
    String received;
    auto start = Clock::now();
    EXPECT_TRUE(QdxReadAll(sock, 5000, received)) << "the agent closes the connection";
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(received.Length(), 0);
    close(sock);
    EXPECT_EQ(agent.Call("GetInfo").Code(), "200");
}

// A connection that never sends anything; -1 when it cannot be opened.
int IdleConnection(const Agent& agent) {
    std::string ignored;
    return QdxConnect(agent.Endpoint(), ignored);
}

TEST(Agent, IdleConnectionIsClosedAfterTheTimeOut) {
    TempDir dir;
    Agent agent(dir, "timeout=2000\n");
    ASSERT_TRUE(agent.Start());
    int sock = IdleConnection(agent);
    ASSERT_GE(sock, 0);
    auto start = Clock::now();
    String received;
    EXPECT_TRUE(QdxReadAll(sock, 8000, received));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(sock);
    EXPECT_GE(seconds, 1.9);
    EXPECT_LE(seconds, 3.5);
    EXPECT_EQ(received.Length(), 0);
}

// Sessions waiting for their request read the time-out again: a lower one closes them within
// about a second, whatever time-out they were opened under.
TEST(Agent, ChangedTimeOutReachesWaitingSessions) {
    TempDir dir;
    Agent agent(dir, "timeout=-1\n");
    ASSERT_TRUE(agent.Start());
    int forever = IdleConnection(agent);
    ASSERT_GE(forever, 0);
    ASSERT_EQ(agent.Call("SetSettings", {"Timeout=600000"}).Code(), "200");
    int longWait = IdleConnection(agent);
    ASSERT_GE(longWait, 0);
    usleep(1200 * 1000);  // both sessions have now been idle for more than one second
    ASSERT_EQ(agent.Call("SetSettings", {"Timeout=1000"}).Code(), "200");
    auto start = Clock::now();
    for (int sock : {forever, longWait}) {
        String received;
        EXPECT_TRUE(QdxReadAll(sock, 4000, received)) << "the agent closes the connection";
        close(sock);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
}

TEST(Agent, ManagementRights) {
    TempDir dir;
    Agent agent(dir, "manageaddr=127.0.0.2\n");
    ASSERT_TRUE(agent.Start());
    for (const char* command : {"QUIT", "ReloadApp", "ReloadCfg", "GetSettings", "SetSettings"}) {
        QdxReplyText reply = agent.Call(command);
        EXPECT_EQ(reply.text, "600\nOperation is not allowed\n\r") << command;
    }
    EXPECT_TRUE(agent.WaitForOutput("--> request processed (600)\n", 5));
    EXPECT_TRUE(agent.Running());

    TempDir off;
    Agent closed(off, "allowmanage=0\n");
    ASSERT_TRUE(closed.Start());
    EXPECT_EQ(closed.Call("GetSettings").Code(), "600");
}

TEST(Agent, QuitEndsTheProcessWithZero) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.Call("QUIT").text, "200\nOk\n\r");
    auto start = Clock::now();
    EXPECT_EQ(agent.WaitExit(5), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(agent.WaitForOutput("Terminate request received. Terminating..\n", 1));
}

TEST(Agent, ReloadAppReExecutesTheAgent) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.Call("GetInfo").Code(), "200");
    pid_t before = agent.pid();
    EXPECT_EQ(agent.Call("ReloadApp").text, "200\nOk\n\r");
    EXPECT_TRUE(agent.WaitForOutput("Reload request received. Executing..\n", 5));
    // The new image prints its banner again and listens with fresh counters.
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::string out = agent.Output();
            return out.find("Listening...") != out.rfind("Listening...");
        },
        10));
    EXPECT_EQ(agent.pid(), before);
    QdxReplyText info = agent.Call("GetInfo");
    EXPECT_NE(info.text.find("\nOpenedConnections=1\n"), std::string::npos) << info.text;
}

TEST(Agent, ReloadCfgReportsFailureAndKeepsSettings) {
    TempDir dir;
    Agent agent(dir, "comment=first\n");
    ASSERT_TRUE(agent.Start());
    std::string cfg = ReadFile(agent.config());
    WriteFile(agent.config(), cfg.replace(cfg.find("comment=first"), 13, "comment=later"));
    EXPECT_EQ(agent.Call("ReloadCfg").text, "200\nOk\n\r");
    EXPECT_NE(agent.Call("GetInfo").text.find("\nComment=later\n"), std::string::npos);

    unlink(agent.config().c_str());
    QdxReplyText failed = agent.Call("ReloadCfg");
    EXPECT_EQ(failed.text, "300\nCannot open configuration file '" + agent.config() + "'\n\r");
    // The password still works: the failed load changed nothing.
    EXPECT_NE(agent.Call("GetInfo").text.find("\nComment=later\n"), std::string::npos);
}

}  // namespace

namespace {

TEST(Agent, FailedRestartGoesOnServing) {
    TempDir dir;
    // An agent path that exists but cannot be executed.
    WriteFile(dir.File("not-executable"), "just text\n");
    Agent agent(dir, "qdxpath=" + dir.File("not-executable") + "\n");
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.Call("ReloadApp").Code(), "200");
    EXPECT_TRUE(agent.WaitForOutput("Error: cannot start new instance\n", 5));
    EXPECT_TRUE(WaitUntil([&] { return agent.Call("GetInfo").Code() == "200"; }, 10));
}

TEST(Agent, FaultSignalIsLoggedEarlyWithoutRestart) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    ASSERT_EQ(kill(agent.pid(), SIGSEGV), 0);
    EXPECT_TRUE(agent.WaitForOutput("\t qdx\t\t Segmentation fault!!\n", 5));
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadFile(agent.LogFile("log2.txt")).find("\t qdx\t\t Segmentation fault!!\n") !=
                   std::string::npos;
        },
        5));
    EXPECT_EQ(agent.Output().find("Restarting.."), std::string::npos);
}

}  // namespace

namespace {

// Descriptors the agent holds beyond the standard streams, with whether they are close-on-exec.
std::vector<std::pair<int, bool>> AgentDescriptors(pid_t pid) {
    std::vector<std::pair<int, bool>> found;
    std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo/";
    for (int fd = 3; fd < 1024; fd++) {
        std::string info = ReadFile(dir + std::to_string(fd));
        size_t at = info.find("flags:");
        if (at == std::string::npos) continue;
        unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
        found.emplace_back(fd, (flags & 02000000) != 0);  // O_CLOEXEC
    }
    return found;
}

TEST(Agent, OwnDescriptorsAreCloseOnExec) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    QdxReplyText ignored;
    int idle = QdxConnect(agent.Endpoint(), ignored.error);  // a session socket too
    ASSERT_GE(idle, 0);
    ASSERT_TRUE(agent.WaitForOutput("TCP connection accepted\n", 5));
    std::vector<std::pair<int, bool>> fds = AgentDescriptors(agent.pid());
    close(idle);
    EXPECT_GE(fds.size(), 2u) << "listener and session socket";
    for (auto [fd, cloexec] : fds) EXPECT_TRUE(cloexec) << "descriptor " << fd;
}

}  // namespace
