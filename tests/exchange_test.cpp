// Name resolution and the one-shot TCP and UDP exchanges, against peers on 127.0.0.1.
#include "net/exchange.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "loopback_peers.h"
#include "net/resolve.h"

namespace {

using peers::TcpPeer;
using peers::UdpPeer;
using Clock = std::chrono::steady_clock;

// Names the resolver refuses without asking a name server: an empty label.
const char kUnresolvable[] = "no..such..host";

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(ResolveTest, HostTexts) {
    struct Case {
        const char* name;
        int result;
        const char* address;  // dotted result, or the error text
    } cases[] = {
        {"127.0.0.1", 1, "127.0.0.1"},
        {"127.1", 1, "127.0.0.1"},  // short dotted forms as inet_addr reads them
        {"localhost", 1, "127.0.0.1"},
        {kUnresolvable, kIpResolveError, "Cannot resolve server name to IP address"},
        {"", kIpResolveError, "Cannot resolve server name to IP address"},
        {nullptr, kIpResolveError, "Cannot resolve server name to IP address"},
    };
    for (const Case& c : cases) {
        in_addr address{};
        String error;
        EXPECT_EQ(GetHostIP(c.name, address, error), c.result) << (c.name ? c.name : "null");
        EXPECT_EQ(c.result == 1 ? Str(IP2String(address)) : Str(error), c.address);
    }
    EXPECT_STREQ(ipErrMsg[kIpResolveError + 7], "Cannot resolve host name to IP address");
    EXPECT_STREQ(ipErrMsg[kIpTimeout + 7], "Timeout");
    EXPECT_STREQ(ipErrMsg[kIpLibraryError + 7], "Winsock error");
}

TEST(ResolveTest, AddressTextIsCutToTheBuffer) {
    in_addr address{};
    address.s_addr = inet_addr("192.168.100.200");
    char buffer[8];
    EXPECT_STREQ(inet_ntoa_safe(address, buffer, sizeof buffer), "192.168");
    EXPECT_STREQ(inet_ntoa_safe(address, buffer, 1), "");
    EXPECT_EQ(Str(IP2String(address)), "192.168.100.200");
    EXPECT_NE(GetMyIP().s_addr, 0u) << "this host's name resolves";
}

TEST(ConnectTest, Outcomes) {
    TcpPeer open(TcpPeer::Mode::Hold);
    int closed = peers::ClosedPort();
    struct Case {
        const char* host;
        int port;
        int timeoutMs;
        int result;
        const char* error;
    } cases[] = {
        {"127.0.0.1", open.port(), 2000, 1, ""},
        {"127.0.0.1", open.port(), 0, 1, ""},  // blocking connect
        {"127.0.0.1", closed, 2000, kIpConnectError, "Connection refused"},
        {"127.0.0.1", closed, 0, kIpConnectError, "Connection refused"},
        {kUnresolvable, open.port(), 2000, kIpResolveError,
         "Cannot resolve server name to IP address"},
        {"127.0.0.1", 65536, 2000, kIpConnectError, "Invalid port number"},
        {"127.0.0.1", -1, 2000, kIpConnectError, "Invalid port number"},
        // A negative wait is refused, never taken as "for ever".
        {"127.0.0.1", open.port(), -5, kIpConnectError, "Invalid argument"},
    };
    for (const Case& c : cases) {
        String error;
        Clock::time_point start = Clock::now();
        EXPECT_EQ(TCPConnect(c.host, c.port, c.timeoutMs, error), c.result)
            << c.host << ":" << c.port << " " << c.timeoutMs;
        EXPECT_EQ(Str(error), c.error);
        EXPECT_LT(SecondsSince(start), 1.5);
    }
}

TEST(ConnectTest, NoSocketIsMadeForAnUnresolvableName) {
    int sock = 12345;
    String error;
    EXPECT_EQ(PerformConnect(sock, kUnresolvable, 80, 1000, error), kIpResolveError);
    EXPECT_EQ(sock, -1);
}

// The addresses of a name are tried in turn within the one time-out: a refusing first address
// gives way to the next.
TEST(ConnectTest, EachAddressInTurn) {
    TcpPeer six(TcpPeer::Mode::Close, "", true);
    peers::DeafTcpPeer deaf;
    std::vector<SocketAddress> refusedFirst, silentFirst, allRefuse;
    String error;
    ASSERT_EQ(ResolvePeer("127.0.0.1", peers::ClosedPort(), refusedFirst, error), 1);
    ASSERT_EQ(ResolvePeer("[::1]", six.port(), allRefuse, error), 1);
    EXPECT_EQ(allRefuse.front().Family(), AF_INET6);
    refusedFirst.push_back(allRefuse.front());
    ASSERT_EQ(ResolvePeer("127.0.0.1", deaf.port(), silentFirst, error), 1);
    silentFirst.push_back(allRefuse.front());

    int sock = -1;
    EXPECT_EQ(ConnectToAny(refusedFirst, 2000, sock, error), 1) << Str(error);
    close(sock);
    // A silent address keeps the rest of the time: the request's time-out still holds.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ConnectToAny(silentFirst, 300, sock, error), kIpTimeout);
    EXPECT_LT(SecondsSince(start), 2.0);
    if (sock >= 0) close(sock);

    allRefuse.front() = refusedFirst.front();
    allRefuse.push_back(refusedFirst.front());
    EXPECT_EQ(ConnectToAny(allRefuse, 2000, sock, error), kIpConnectError);
    EXPECT_EQ(Str(error), "Connection refused");
    if (sock >= 0) close(sock);
}

TEST(ConnectTest, UnansweredHandshakeTimesOut) {
    peers::DeafTcpPeer deaf;
    String error;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(TCPConnect("127.0.0.1", deaf.port(), 300, error), kIpTimeout);
    EXPECT_EQ(Str(error), "Timeout");
    double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.29);
    EXPECT_LT(waited, 2.0);
}

// One TCP exchange; the reply, when any, lands in `reply`.
int TcpExchange(int port, int timeoutMs, const std::string& data, int capacity, std::string& reply,
                String& error) {
    std::string buffer(capacity > 0 ? static_cast<size_t>(capacity) : 1, '\0');
    int result = SendReceiveTCPPacket("127.0.0.1", port, timeoutMs, data.data(), buffer.data(),
                                      static_cast<int>(data.size()), capacity, error);
    reply = result > 0 && capacity > 0 ? buffer.substr(0, static_cast<size_t>(result)) : "";
    return result;
}

TEST(TcpExchangeTest, SendsAndReceivesOnce) {
    TcpPeer peer(TcpPeer::Mode::Answer, "pong");
    std::string reply;
    String error;
    EXPECT_EQ(TcpExchange(peer.port(), 2000, "ping", 100, reply, error), 4);
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(Str(error), "");
    // Nothing to receive: 1 as soon as the data is out.
    EXPECT_EQ(TcpExchange(peer.port(), 2000, "second", 0, reply, error), 1);
    ASSERT_TRUE(peer.WaitForEntries(2, 5));
    EXPECT_EQ(peer.Received()[0], "ping");
    EXPECT_EQ(peer.Received()[1], "second");
}

TEST(TcpExchangeTest, ReceivesNoMoreThanTheCapacity) {
    TcpPeer peer(TcpPeer::Mode::Answer, std::string(20000, 'x'));
    std::string reply;
    String error;
    EXPECT_EQ(TcpExchange(peer.port(), 2000, "", 8192, reply, error), 8192);
    EXPECT_EQ(reply, std::string(8192, 'x'));
}

TEST(TcpExchangeTest, PeerThatClosesOrStaysSilent) {
    TcpPeer closing(TcpPeer::Mode::Close);
    TcpPeer silent(TcpPeer::Mode::Hold);
    std::string reply;
    String error;
    EXPECT_EQ(TcpExchange(closing.port(), 2000, "", 10, reply, error), 0);
    EXPECT_EQ(Str(error), "") << "a peer that closed is not a time-out";

    Clock::time_point start = Clock::now();
    EXPECT_EQ(TcpExchange(silent.port(), 300, "x", 10, reply, error), kIpTimeout);
    EXPECT_EQ(Str(error), "Timeout");
    EXPECT_GE(SecondsSince(start), 0.29);
}

// A peer that never reads cannot hold the exchange beyond its time-out, however much is sent.
TEST(TcpExchangeTest, SendToAPeerThatDoesNotReadIsBounded) {
    TcpPeer silent(TcpPeer::Mode::Hold);
    std::string reply;
    String error;
    std::string data(32 << 20, 'd');  // made before the clock starts: its pages take a while
    Clock::time_point start = Clock::now();
    EXPECT_EQ(TcpExchange(silent.port(), 300, data, 10, reply, error), kIpTimeout);
    EXPECT_EQ(Str(error), "Timeout");
    EXPECT_LT(SecondsSince(start), 3.0);
}

// Sessions run exchanges side by side; lookups and sockets belong to the calling thread.
TEST(TcpExchangeTest, ConcurrentExchangesWithLookups) {
    TcpPeer peer(TcpPeer::Mode::Answer, "ok");
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; i++) {
                char buffer[8];
                String error;
                if (SendReceiveTCPPacket("localhost", peer.port(), 5000, "x", buffer, 1,
                                         sizeof buffer, error) == 2)
                    succeeded++;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(succeeded.load(), 30);
}

// Waiting uses poll, so sockets numbered above FD_SETSIZE work like any other.
TEST(TcpExchangeTest, HighDescriptorNumbers) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < FD_SETSIZE + 64) {
        GTEST_SKIP() << "the hard descriptor limit is too low";
    }
    rlimit raised = saved;
    raised.rlim_cur = FD_SETSIZE + 64;
    if (saved.rlim_cur < raised.rlim_cur) {
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    std::vector<int> fillers;
    for (int fd = 0; fd >= 0 && fd < FD_SETSIZE;) {
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) fillers.push_back(fd);
    }

    TcpPeer peer(TcpPeer::Mode::Answer, "high");
    std::string reply;
    String error;
    EXPECT_EQ(TcpExchange(peer.port(), 2000, "x", 10, reply, error), 4);
    EXPECT_EQ(reply, "high");

    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

int UdpExchange(const char* host, int port, int seconds, const std::string& data, int capacity,
                std::string& reply, String& error) {
    std::string buffer(capacity > 0 ? static_cast<size_t>(capacity) : 1, '\0');
    int result = SendReceiveUDPPacket(host, port, seconds, data.data(), buffer.data(),
                                      static_cast<int>(data.size()), capacity, error);
    reply = result > 0 && capacity > 0 ? buffer.substr(0, static_cast<size_t>(result)) : "";
    return result;
}

TEST(UdpExchangeTest, Outcomes) {
    UdpPeer echo(UdpPeer::Mode::Echo);
    UdpPeer silent(UdpPeer::Mode::Silent);
    std::string reply;
    String error;

    EXPECT_EQ(UdpExchange("127.0.0.1", echo.port(), 1, "hello", 3, reply, error), 3);
    EXPECT_EQ(reply, "hel");
    EXPECT_EQ(Str(error), "");

    // Nothing to receive: the number of bytes sent.
    EXPECT_EQ(UdpExchange("127.0.0.1", silent.port(), 1, "abcdef", 0, reply, error), 6);
    EXPECT_EQ(Str(error), "");
    // Nothing to send or to receive: nothing happens.
    EXPECT_EQ(UdpExchange("127.0.0.1", silent.port(), 1, "", 0, reply, error), 0);
    EXPECT_EQ(Str(error), "");

    Clock::time_point start = Clock::now();
    EXPECT_EQ(UdpExchange("127.0.0.1", silent.port(), 1, "x", 10, reply, error), kIpTimeout);
    EXPECT_EQ(Str(error), "Timeout");
    double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 2.5);

    // A negative time-out does not wait at all.
    start = Clock::now();
    EXPECT_EQ(UdpExchange("127.0.0.1", silent.port(), -3, "x", 10, reply, error), kIpTimeout);
    EXPECT_LT(SecondsSince(start), 0.5);

    EXPECT_EQ(UdpExchange(kUnresolvable, silent.port(), 1, "x", 0, reply, error), kIpResolveError);
    EXPECT_EQ(Str(error), "Cannot resolve server name to IP address");
    EXPECT_EQ(UdpExchange("127.0.0.1", silent.port(), 1, std::string(70000, 'z'), 0, reply, error),
              kIpSendError);
    EXPECT_EQ(Str(error), "Message too long");
    ASSERT_TRUE(silent.WaitForEntries(3, 5));
    EXPECT_EQ(silent.Received().size(), 3u) << "the failed lookup and datagram sent nothing";
}

}  // namespace
