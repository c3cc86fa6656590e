// The bounds that keep hostile peers from taking the agent, against the running agent: the session
// limit (the longest-waiting session makes room, a prompt request is always answered), the time a
// request may take to arrive, TCP keepalive for peers that vanish, and the agent's descriptors
// coming back to their idle count once the peers are gone.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "client/upgrade_client.h"
#include "harness.h"
#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int DescriptorCount(pid_t pid) {
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') count++;
    closedir(dir);
    return count;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// Opens a connection that sends nothing and waits until the agent has taken it as a session.
int AcceptedIdleConnection(Agent& agent) {
    size_t before = Occurrences(agent.Output(), "TCP connection accepted");
    std::string error;
    int sock = QdxConnect(agent.Endpoint(), error);
    EXPECT_GE(sock, 0) << error;
    EXPECT_TRUE(WaitUntil(
        [&] { return Occurrences(agent.Output(), "TCP connection accepted") > before; }, 5));
    return sock;
}

// True when the agent has closed `sock` (within `seconds`); false while it stays open.
bool ClosedByAgent(int sock, double seconds) {
    String received;
    return QdxReadAll(sock, static_cast<int>(seconds * 1000), received);
}

// "name=value" of a GetInfo reply.
std::string InfoValue(const QdxReplyText& reply, const std::string& name) {
    for (const std::string& line : reply.Lines())
        if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
    return "";
}

// A full session limit gives way to a peer that sends its request at once: the session that has
// waited longest for its request is closed to make room, the others stay, and once every peer is
// gone the agent holds as many descriptors as before.
TEST(Bounds, FullSessionLimitMakesRoomForAPromptRequest) {
    TempDir dir;
    Agent agent(dir, "maxsessions=3\ntimeout=-1\n");
    ASSERT_TRUE(agent.Start());
    int idleDescriptors = DescriptorCount(agent.pid());  // before any connection

    std::vector<int> hostile;
    for (int i = 0; i < 3; i++) hostile.push_back(AcceptedIdleConnection(agent));
    QdxReplyText reply = agent.Call("GetInfo");
    ASSERT_EQ(reply.Code(), "200") << reply.error;
    EXPECT_TRUE(ClosedByAgent(hostile[0], 2)) << "the longest-waiting session made room";
    EXPECT_FALSE(ClosedByAgent(hostile[1], 0.3));
    EXPECT_FALSE(ClosedByAgent(hostile[2], 0.3));
    EXPECT_TRUE(agent.WaitForOutput(
        "Session limit reached: a session waiting for its request closed\n", 5));

    // Eviction goes by age: once full again, the next prompt request pushes out the next oldest.
    hostile.push_back(AcceptedIdleConnection(agent));
    EXPECT_EQ(agent.Call("GetInfo").Code(), "200");
    EXPECT_TRUE(ClosedByAgent(hostile[1], 2));
    EXPECT_FALSE(ClosedByAgent(hostile[2], 0.3));
    EXPECT_FALSE(ClosedByAgent(hostile[3], 0.3));

    for (int sock : hostile) close(sock);
    EXPECT_TRUE(WaitUntil([&] { return DescriptorCount(agent.pid()) == idleDescriptors; }, 5))
        << DescriptorCount(agent.pid()) << " descriptors, " << idleDescriptors << " when idle";
}

// When every session is at work on a complete request there is nobody to push out: the new
// connection is closed at once and counted as failed.
TEST(Bounds, NewConnectionIsRefusedWhenEverySessionIsAtWork) {
    TempDir dir;
    Agent agent(dir, "maxsessions=1\n");
    ASSERT_TRUE(agent.Start());
    String key;
    QdxReplyText started;
    // An upgrade transfer keeps its session at work on its request until the executable comes.
    int transfer = QdxStartUpgrade(agent.Endpoint(), 1000, key, started);
    ASSERT_GE(transfer, 0) << started.Code() << " " << started.error;

    std::string error;
    int refused = QdxConnect(agent.Endpoint(), error);
    ASSERT_GE(refused, 0) << error;
    auto start = Clock::now();
    EXPECT_TRUE(ClosedByAgent(refused, 3));
    EXPECT_LT(SecondsSince(start), 1.5) << "closed at once, without waiting for a request";
    close(refused);
    EXPECT_FALSE(ClosedByAgent(transfer, 0.3)) << "the working session stays";

    size_t ended = Occurrences(agent.Output(), "Session closed");
    close(transfer);  // abandons the transfer and frees the session
    ASSERT_TRUE(
        WaitUntil([&] { return Occurrences(agent.Output(), "Session closed") > ended; }, 5));
    QdxReplyText info = agent.Call("GetInfo");
    ASSERT_EQ(info.Code(), "200") << info.error;
    EXPECT_EQ(InfoValue(info, "FailedConnections"), "1");
    EXPECT_TRUE(agent.WaitForOutput(
        "Session limit reached with every session at work: new connection closed\n", 5));
}

// Each byte resets the idle time-out, but a request must arrive in full within "requesttimeout"
// of its first byte.
TEST(Bounds, TricklingPeerIsCutOff) {
    TempDir dir;
    Agent agent(dir, "timeout=4000\nrequesttimeout=1500\n");
    ASSERT_TRUE(agent.Start());
    std::string error;
    int sock = QdxConnect(agent.Endpoint(), error);
    ASSERT_GE(sock, 0) << error;
    const char header[] = "\x00\x01\x00\x00\x03\x12";  // announces 256 bytes
    auto start = Clock::now();
    bool closed = false;
    for (int i = 0; i < 20 && !closed; i++) {
        QdxSend(sock, header + (i % 6), 1);
        pollfd hangup{sock, POLLIN, 0};
        closed = poll(&hangup, 1, 300) > 0;
    }
    double seconds = SecondsSince(start);
    close(sock);
    EXPECT_TRUE(closed);
    EXPECT_GE(seconds, 1.3);
    EXPECT_LT(seconds, 3.5) << "well before the idle time-out could close it";
    EXPECT_TRUE(
        agent.WaitForOutput("Request not complete within requesttimeout: connection closed\n", 5));
    EXPECT_EQ(agent.Call("GetInfo").Code(), "200");
}

// A peer that vanishes without closing answers no keepalive probe: with "timeout" at -1 only
// keepalive can end its session, which it does within a few probe intervals.
TEST(Bounds, VanishedPeerIsReapedByKeepalive) {
    TempDir dir;
    Agent agent(dir, "timeout=-1\nkeepalive=1\n");
    ASSERT_TRUE(agent.Start());
    int sock = AcceptedIdleConnection(agent);
    if (!IgnoreIncomingPackets(sock)) {
        close(sock);
        GTEST_SKIP() << "this system cannot make a socket drop its packets";
    }
    EXPECT_EQ(InfoValue(agent.Call("GetInfo"), "ActiveConnections"), "2");
    auto start = Clock::now();
    EXPECT_TRUE(
        WaitUntil([&] { return InfoValue(agent.Call("GetInfo"), "ActiveConnections") == "1"; }, 10))
        << "the vanished peer's session ended";
    EXPECT_GE(SecondsSince(start), 0.5);
    close(sock);
}

}  // namespace
