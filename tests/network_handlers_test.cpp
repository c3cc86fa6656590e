// The network tests and actions, called as the dispatcher calls them, against peers on
// 127.0.0.1: parameter readings and refusals, switches, and the exact replies.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "config_fixture.h"
#include "foundation/blocking_wait.h"
#include "handlers/actions.h"
#include "handlers/network_params.h"
#include "handlers/network_tests.h"
#include "loopback_peers.h"
#include "net/wait_budget.h"

namespace {

using peers::TcpPeer;
using peers::UdpPeer;
using Clock = std::chrono::steady_clock;
using Handler = void (*)(const ZPRequest&, QDXReply&);

std::string Str(const String& s) {
    return configtest::Str(s);
}

// The parameter object the dispatcher hands over: every line ended by LF, then the CR end mark.
ZPRequest Params(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    text += "\r";
    ZPRequest request;
    request = String(text.data(), static_cast<int>(text.size()));
    return request;
}

std::string Call(Handler handler, const std::vector<std::string>& lines) {
    QDXReply reply;
    handler(Params(lines), reply);
    return Str(reply.Text());
}

void SetSwitches(int on) {
    TQDXSettings settings = *CurrentSettings();
    settings.tcp = settings.udp = on;
    settings.executeaction = settings.tcpudpaction = settings.syslogaction = on;
    PublishSettings(settings);
}

class NetworkHandlersTest : public ::testing::Test {
protected:
    void SetUp() override { SetSwitches(1); }
    configtest::SettingsGuard guard;
};

TEST_F(NetworkHandlersTest, SwitchesOff) {
    SetSwitches(0);
    EXPECT_EQ(Call(ProcessTest_TCP, {"127.0.0.1", "1"}), "600\ntest is not allowed");
    EXPECT_EQ(Call(ProcessTest_UDP, {"127.0.0.1", "1"}), "600\ntest is not allowed");
    EXPECT_EQ(Call(ProcessAct_ExternalCmd, {"true"}), "600\noperation is not allowed");
    EXPECT_EQ(Call(ProcessAct_Syslog, {"127.0.0.1"}), "600\noperation is not allowed");
    EXPECT_EQ(Call(ProcessAct_TCPSend, {"127.0.0.1"}), "600\noperation is not allowed");
}

TEST_F(NetworkHandlersTest, ParameterRefusals) {
    struct Case {
        Handler handler;
        std::vector<std::string> params;
    } cases[] = {
        {ProcessTest_TCP, {"127.0.0.1", "8o", "1000", "", "10"}},
        {ProcessTest_TCP, {"127.0.0.1", "65536", "1000", "", "10"}},
        {ProcessTest_TCP, {"127.0.0.1", "-1", "1000", "", "10"}},
        {ProcessTest_TCP, {"127.0.0.1", "80", "1.5", "", "10"}},
        {ProcessTest_TCP, {"127.0.0.1", "80", "1000", "", "all"}},
        {ProcessTest_UDP, {"127.0.0.1", "53", "1000", "0", "x", "10"}},
        {ProcessTest_UDP, {"127.0.0.1", "53", "1000", "-2", "x", "10"}},
        {ProcessTest_UDP, {"127.0.0.1", "53", "1000", "1", "", "10"}},
        {ProcessTest_UDP, {"127.0.0.1", "53", "1000", "1"}},  // the end mark is not a datagram
        {ProcessTest_UDP, {"127.0.0.1", "53", "1s", "1", "x", "10"}},
        {ProcessAct_Syslog, {"", "514", "1", "5", "text"}},
        {ProcessAct_Syslog, {"127.0.0.1", "514", "1", "8", "text"}},
        {ProcessAct_Syslog, {"127.0.0.1", "514", "1", "-1", "text"}},
        {ProcessAct_Syslog, {"127.0.0.1", "514", "local0", "5", "text"}},
        {ProcessAct_TCPSend, {"", "80", "0", "data", "0", ""}},
        {ProcessAct_TCPSend, {"127.0.0.1", "80", "0", "", "0", "second"}},
        {ProcessAct_TCPSend, {"127.0.0.1", "80", "0", "data", "1s", ""}},
        {ProcessAct_TCPSend, {"127.0.0.1", "99999", "0", "data", "0", ""}},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& p : c.params) joined += "[" + p + "]";
        EXPECT_EQ(Call(c.handler, c.params), "501\nWrong parameter") << joined;
    }
}

TEST(NetworkParamsTest, Readings) {
    TcpTestParams tcp;
    struct TcpCase {
        std::vector<std::string> params;
        int timeoutMs;
        int receiveCount;
        std::string data;
    } tcpCases[] = {
        {{"h", "1", "0", " a%0D%0Ab ", "100000"}, 120000, 8192, " a\r\nb "},
        {{"h", "1", "250", "", "-1"}, 250, 8192, ""},
        {{"h", "1", "-250", "x", "0"}, -250, 0, "x"},
        {{"h", "1", "1000", "", "8192"}, 1000, 8192, ""},
        {{"h", "1", "1000"}, 1000, 0, ""},  // missing data and count: nothing to send or receive
    };
    for (const TcpCase& c : tcpCases) {
        ASSERT_EQ(ReadTcpTestParams(Params(c.params), tcp), nullptr);
        EXPECT_EQ(tcp.timeoutMs, c.timeoutMs);
        EXPECT_EQ(tcp.receiveCount, c.receiveCount);
        EXPECT_EQ(Str(tcp.data), c.data);
    }

    UdpTestParams udp;
    struct UdpCase {
        std::string timeoutMs;
        int seconds;
    } udpCases[] = {{"500", 1}, {"0", 1}, {"2500", 2}, {"-999", 1}, {"-1500", 1}};
    for (const UdpCase& c : udpCases) {
        ASSERT_EQ(ReadUdpTestParams(Params({"h", "1", c.timeoutMs, "3", "x", "0"}), udp), nullptr);
        EXPECT_EQ(udp.timeoutSeconds, c.seconds) << c.timeoutMs;
    }

    // Data is taken untrimmed; only the CR end mark after the last line is dropped.
    TcpSendParams send;
    ZPRequest noLastLineEnd;
    noLastLineEnd = "h\n1\n0\n first \n2\nsecond\r";
    ASSERT_EQ(ReadTcpSendParams(noLastLineEnd, send), nullptr);
    EXPECT_EQ(Str(send.first), " first ");
    EXPECT_EQ(Str(send.second), "second");
    EXPECT_TRUE(send.tcp);
    ASSERT_EQ(ReadTcpSendParams(Params({"h", "1", "00", "d"}), send), nullptr);
    EXPECT_FALSE(send.tcp) << "only the text 0 means TCP";
    EXPECT_EQ(send.second.Length(), 0);
    ASSERT_EQ(ReadTcpSendParams(Params({"h", "1", "0", "d", "2147483647", "e"}), send), nullptr);
    EXPECT_EQ(send.delaySeconds, kMaxNetworkWaitSeconds);

    ExternalCmdParams command;
    EXPECT_STREQ(ReadExternalCmdParams(Params({" ", "/tmp", "0", "1000"}), command),
                 "Command line to execute is not specified");
    EXPECT_STREQ(ReadExternalCmdParams(Params({"", "/tmp", "x", "1000"}), command),
                 "Wrong parameter");
    EXPECT_STREQ(ReadExternalCmdParams(Params({"ls", "", "0", "10s"}), command), "Wrong parameter");
    ASSERT_EQ(ReadExternalCmdParams(Params({" ls -l ", " /tmp ", "7", "-1"}), command), nullptr);
    EXPECT_EQ(Str(command.commandLine), "ls -l");
    EXPECT_EQ(Str(command.folder), "/tmp");
    EXPECT_EQ(command.timeoutMs, -1);
}

// "200", the milliseconds taken (a small number) and the rest of the reply.
void ExpectTimedSuccess(const std::string& reply, const std::string& rest) {
    ASSERT_EQ(reply.rfind("200\n", 0), 0u) << reply;
    size_t end = reply.find('\n', 4);
    ASSERT_NE(end, std::string::npos);
    std::string milliseconds = reply.substr(4, end - 4);
    ASSERT_TRUE(!milliseconds.empty() &&
                milliseconds.find_first_not_of("0123456789") == std::string::npos)
        << reply;
    EXPECT_LT(std::stoi(milliseconds), 2000);
    EXPECT_EQ(reply.substr(end + 1), rest);
}

TEST_F(NetworkHandlersTest, TcpTest) {
    TcpPeer peer(TcpPeer::Mode::Answer, "a\r\nb");
    std::string port = std::to_string(peer.port());
    ExpectTimedSuccess(Call(ProcessTest_TCP, {"127.0.0.1", port, "2000", "ping%0D%0A", "100"}),
                       "a%0D%0Ab\n");
    // Time-out 0 is 120 s; nothing to receive: done once the data is out.
    ExpectTimedSuccess(Call(ProcessTest_TCP, {"localhost", port, "0", "x", "0"}), "\n");
    ASSERT_TRUE(peer.WaitForEntries(2, 5));
    EXPECT_EQ(peer.Received()[0], "ping\r\n");

    TcpPeer big(TcpPeer::Mode::Answer, std::string(20000, 'x'));
    ExpectTimedSuccess(
        Call(ProcessTest_TCP, {"127.0.0.1", std::to_string(big.port()), "2000", "", "100000"}),
        std::string(8192, 'x') + "\n");

    std::string closed = std::to_string(peers::ClosedPort());
    EXPECT_EQ(Call(ProcessTest_TCP, {"127.0.0.1", closed, "2000", "", "10"}),
              "301\nConnection refused\n-6\n");
    EXPECT_EQ(Call(ProcessTest_TCP, {"no..such..host", port, "2000", "", "10"}),
              "301\nCannot resolve server name to IP address\n-2\n");
    TcpPeer silent(TcpPeer::Mode::Hold);
    EXPECT_EQ(Call(ProcessTest_TCP, {"127.0.0.1", std::to_string(silent.port()), "200", "", "10"}),
              "301\nTimeout\n0\n");
}

TEST_F(NetworkHandlersTest, UdpTest) {
    UdpPeer echo(UdpPeer::Mode::Echo);
    std::string port = std::to_string(echo.port());
    ExpectTimedSuccess(Call(ProcessTest_UDP, {"127.0.0.1", port, "1000", "1", "he%0Allo", "100"}),
                       "he%0Allo\n");
    // Nothing to receive: success as soon as the datagram is out.
    ExpectTimedSuccess(Call(ProcessTest_UDP, {"127.0.0.1", port, "1000", "1", "x", "0"}), "\n");

    // Each attempt waits the time-out, taken in whole seconds (500 ms becomes 1 s).
    UdpPeer silent(UdpPeer::Mode::Silent);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(
        Call(ProcessTest_UDP, {"127.0.0.1", std::to_string(silent.port()), "500", "2", "x", "10"}),
        "301\nTimeout\n0\n");
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 1.98);
    EXPECT_TRUE(silent.WaitForEntries(2, 5)) << "one datagram per attempt";
}

TEST_F(NetworkHandlersTest, SyslogAction) {
    UdpPeer collector(UdpPeer::Mode::Capture);
    EXPECT_EQ(Call(ProcessAct_Syslog,
                   {" 127.0.0.1 ", std::to_string(collector.port()), "1", "5", "disk%0Afull"}),
              "200\nSyslog: Data to 127.0.0.1 has been sent");
    ASSERT_TRUE(collector.WaitForEntries(1, 5));
    std::string datagram = collector.Received()[0];
    EXPECT_EQ(datagram.rfind("<13>", 0), 0u) << datagram;
    EXPECT_EQ(datagram.substr(datagram.size() - 21), " Brenn QDX: disk\nfull");
    EXPECT_EQ(Call(ProcessAct_Syslog, {"no..such..host", "514", "1", "5", "x"}),
              "301\nCannot resolve server name to IP address");
}

TEST_F(NetworkHandlersTest, ExternalCommandAction) {
    configtest::TempDir dir;
    configtest::WriteFile(dir / "marker", "");
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"sh -c 'exit 3'", "", "0", "5000"}, "200\n3\n"},
        // Runs in the working folder, without a shell: the quotes group, nothing expands.
        {{"test -f marker", dir.path(), "0", "5000"}, "200\n0\n"},
        {{"test -f marker", "", "0", "5000"}, "200\n1\n"},
        {{"test $HOME = '$HOME'", "", "0", "0"}, "200\n0\n"},
        {{"/no/such/program", "", "0", "5000"}, "301\nexec error: No such file or directory"},
        {{"  ", "", "0", "5000"}, "501\nCommand line to execute is not specified"},
        {{"true", "", "zero", "5000"}, "501\nWrong parameter"},
    };
    for (const Case& c : cases) EXPECT_EQ(Call(ProcessAct_ExternalCmd, c.params), c.reply);
}

TEST_F(NetworkHandlersTest, SendAction) {
    TcpPeer peer(TcpPeer::Mode::Answer);
    std::string port = std::to_string(peer.port());
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Call(ProcessAct_TCPSend, {"127.0.0.1", port, "0", "first%0D%0A", "1", "second"}),
              "200\nData has been sent");
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.99);
    // Without a sixth line nothing follows the first data, not even the end mark.
    EXPECT_EQ(Call(ProcessAct_TCPSend, {"127.0.0.1", port, "0", "only", "0"}),
              "200\nData has been sent");
    ASSERT_TRUE(peer.WaitForEntries(2, 5));
    EXPECT_EQ(peer.Received()[0], "first\r\nsecond");
    EXPECT_EQ(peer.Received()[1], "only");

    UdpPeer collector(UdpPeer::Mode::Capture);
    EXPECT_EQ(Call(ProcessAct_TCPSend,
                   {"127.0.0.1", std::to_string(collector.port()), "udp", "one", "0", "two"}),
              "200\nData has been sent");
    ASSERT_TRUE(collector.WaitForEntries(2, 5));
    EXPECT_EQ(collector.Received()[1], "two");

    std::string closed = std::to_string(peers::ClosedPort());
    EXPECT_EQ(Call(ProcessAct_TCPSend, {"127.0.0.1", closed, "0", "x", "0", ""}),
              "301\nConnection refused");
    // By UDP a closed port goes unnoticed.
    EXPECT_EQ(Call(ProcessAct_TCPSend, {"127.0.0.1", closed, "1", "x", "0", "y"}),
              "200\nData has been sent");
    EXPECT_EQ(Call(ProcessAct_TCPSend, {"no..such..host", closed, "1", "x", "0", ""}),
              "301\nCannot resolve server name to IP address");
}

// Time spent inside BlockingWait on any thread, in microseconds: waits for another host that
// do not go through it would hold their session's accept turn.
std::atomic<long long> blockedMicroseconds{0};
thread_local Clock::time_point blockedSince;

class CountBlockingWaits {
public:
    CountBlockingWaits() {
        blockedMicroseconds = 0;
        SetBlockingWaitHooks([] { blockedSince = Clock::now(); },
                             [] {
                                 blockedMicroseconds +=
                                     std::chrono::duration_cast<std::chrono::microseconds>(
                                         Clock::now() - blockedSince)
                                         .count();
                             });
    }
    ~CountBlockingWaits() { SetBlockingWaitHooks(nullptr, nullptr); }
    double Seconds() const { return static_cast<double>(blockedMicroseconds.load()) / 1e6; }
};

// Shortens the network wait budget of the requests made while it lives.
class ShortBudget {
public:
    explicit ShortBudget(std::chrono::milliseconds limit) { SetNetworkWaitLimit(limit); }
    ~ShortBudget() { SetNetworkWaitLimit(std::chrono::seconds(kMaxNetworkWaitSeconds)); }
};

TEST(NetworkWaitBudgetTest, CapsWaitsToWhatIsLeft) {
    EXPECT_EQ(CapToNetworkBudget(5000), 5000) << "no budget without a request";
    EXPECT_FALSE(NetworkBudgetSpent());
    {
        NetworkWaitBudget budget;
        EXPECT_EQ(CapToNetworkBudget(5000), 5000);
        int capped = CapToNetworkBudget(2147483647);
        EXPECT_LE(capped, kMaxNetworkWaitSeconds * 1000);
        EXPECT_GT(capped, kMaxNetworkWaitSeconds * 1000 - 60000);
        {
            ShortBudget shorter(std::chrono::milliseconds(0));
            NetworkWaitBudget inner;  // the request's budget stays in force
            EXPECT_GT(CapToNetworkBudget(5000), 0);
        }
    }
    ShortBudget spent(std::chrono::milliseconds(0));
    NetworkWaitBudget budget;
    EXPECT_EQ(CapToNetworkBudget(5000), 0);
    EXPECT_TRUE(NetworkBudgetSpent());
}

// Every wait for another host (connect, receive, the pause between two sends) is a BlockingWait,
// and all of a request's waits together end with its budget (an hour, shortened here), answered
// as a time-out, however long the request asked to wait.
TEST_F(NetworkHandlersTest, WaitsHandTheTurnOverAndEndWithTheRequestsBudget) {
    peers::DeafTcpPeer deaf;  // connects time out
    TcpPeer hold(TcpPeer::Mode::Hold);
    TcpPeer answer(TcpPeer::Mode::Answer);
    UdpPeer silent(UdpPeer::Mode::Silent);
    std::string forever = "2147483647";
    struct Case {
        Handler handler;
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {ProcessTest_TCP,
         {"127.0.0.1", std::to_string(deaf.port()), forever, "", "10"},
         "301\nTimeout\n0\n"},
        {ProcessTest_TCP,
         {"127.0.0.1", std::to_string(hold.port()), forever, "x", "10"},
         "301\nTimeout\n0\n"},
        {ProcessTest_UDP,
         {"127.0.0.1", std::to_string(silent.port()), forever, forever, "x", "9"},
         "301\nTimeout\n0\n"},
        // The connect without a time-out waits as long as the system allows, the budget less.
        {ProcessAct_TCPSend,
         {"127.0.0.1", std::to_string(deaf.port()), "0", "x", "0", ""},
         "301\nTimeout"},
        // A pause cut short by the budget is followed by the second data.
        {ProcessAct_TCPSend,
         {"127.0.0.1", std::to_string(answer.port()), "0", "a", forever, "b"},
         "200\nData has been sent"},
    };
    ShortBudget budget(std::chrono::milliseconds(1000));
    for (const Case& c : cases) {
        CountBlockingWaits waits;
        Clock::time_point start = Clock::now();
        EXPECT_EQ(Call(c.handler, c.params), c.reply) << c.params[1];
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 30) << c.params[1];
        EXPECT_GE(waits.Seconds(), 0.9) << c.params[1];
    }
    EXPECT_EQ(silent.Received().size(), 1u) << "one attempt in the budget";
    ASSERT_TRUE(answer.WaitForEntries(1, 5));
    EXPECT_EQ(answer.Received()[0], "ab");
}

}  // namespace
