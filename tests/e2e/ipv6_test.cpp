// The agent on IPv6: the dual-stack listener, IPv4 peers arriving on it as IPv4-mapped addresses,
// the address lists of both families, and qdxctl on ::1.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

QdxReplyText CallFrom(const Agent& agent, const char* host, const std::string& command,
                      int port = 0) {
    QdxEndpoint endpoint = agent.Endpoint();
    endpoint.host = host;
    if (port != 0) endpoint.port = port;
    return QdxCall(endpoint, command);
}

// An empty host listens on both families; IPv4 peers come in through the IPv6 socket and are
// written, matched and answered as IPv4 peers.
TEST(Ipv6, EmptyHostAnswersBothFamiliesAndLogsPeersInTheirOwnForm) {
    TempDir dir;
    Agent agent(dir, "host=\n");
    ASSERT_TRUE(agent.Start());
    QdxReplyText four = CallFrom(agent, "127.0.0.1", "GetInfo");
    QdxReplyText six = CallFrom(agent, "::1", "GetInfo");
    ASSERT_EQ(four.Code(), "200") << four.error;
    ASSERT_EQ(six.Code(), "200") << six.error;
    // The counters differ between the two; everything before them is the same.
    EXPECT_EQ(four.text.substr(0, four.text.find("Connections")),
              six.text.substr(0, six.text.find("Connections")));
    EXPECT_TRUE(agent.WaitForOutput("\t ::1\t TCP connection accepted", 5)) << agent.Output();
    EXPECT_TRUE(agent.WaitForOutput("\t 127.0.0.1\t TCP connection accepted", 5));
    EXPECT_EQ(agent.Output().find("ffff"), std::string::npos) << agent.Output();
}

TEST(Ipv6, HostGivenAsAnIpv6AddressListensThereOnly) {
    TempDir dir;
    Agent agent(dir, "host=::1\n");
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(CallFrom(agent, "::1", "GetInfo").Code(), "200");
    EXPECT_EQ(CallFrom(agent, "127.0.0.1", "GetInfo").status, CallStatus::NoConnection);
}

// Filter and rights for peers of both families, the IPv4 one on the dual-stack socket.
TEST(Ipv6, FilterAndRightsForBothFamilies) {
    struct Case {
        const char* settings;
        const char* peer;
        const char* getInfo;      // code, or "" when the connection is refused
        const char* getSettings;  // code
    } cases[] = {
        {"manageaddr=::1\n", "::1", "200", "200"},
        {"manageaddr=::1\n", "127.0.0.1", "200", "600"},
        {"manageaddr=127.0.0.1\n", "127.0.0.1", "200", "200"},
        {"manageaddr=127.0.0.1\n", "::1", "200", "600"},
        {"manageaddr=127.0.0.0/8, ::/127\n", "::1", "200", "200"},
        {"manageaddr=127.0.0.0/8, ::/127\n", "127.0.0.1", "200", "200"},
        {"manageaddr=::-::2\n", "::1", "200", "200"},
        {"filteractive=1\nfilterlist=::1\nfiltermarks=1\n", "::1", "200", "600"},
        {"filteractive=1\nfilterlist=::1\nfiltermarks=1\n", "127.0.0.1", "", ""},
        {"filteractive=1\nfilterlist=127.0.0.1 ::1\nfiltermarks=01\n", "127.0.0.1", "", ""},
        {"filteractive=1\nfilterlist=127.0.0.0/8\nfiltermarks=1\n", "127.0.0.1", "200", "200"},
        {"filteractive=1\nfilterlist=127.0.0.0/8\nfiltermarks=1\n", "::1", "", ""},
        // Loopback peers of both families stay admitted when the plain port is loopback-only.
        {"plainlocalonly=1\n", "127.0.0.1", "200", "200"},
        {"plainlocalonly=1\nmanageaddr=::1\n", "::1", "200", "200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.settings) + c.peer);
        TempDir dir;
        Agent agent(dir, std::string("host=\n") + c.settings);
        ASSERT_TRUE(agent.Start());
        QdxReplyText info = CallFrom(agent, c.peer, "GetInfo");
        QdxReplyText settings = CallFrom(agent, c.peer, "GetSettings");
        if (*c.getInfo == '\0') {
            EXPECT_EQ(info.status, CallStatus::NoReply);
            EXPECT_EQ(settings.status, CallStatus::NoReply);
            EXPECT_TRUE(agent.WaitForOutput("TCP connection rejected", 5));
        } else {
            EXPECT_EQ(info.Code(), c.getInfo);
            EXPECT_EQ(settings.Code(), c.getSettings);
        }
    }
}

// An entry that is no address, range or prefix matches nothing, is named at load, and the agent
// runs on with the other entries; verify-config warns about it.
TEST(Ipv6, UnreadableListEntryIsNamedAndMatchesNothing) {
    TempDir dir;
    Agent agent(dir, "host=\nmanageaddr=localhost, ::1\nlogfails=1\nbadlogfile=" +
                         dir.File("bad.log") + "\n");
    ASSERT_TRUE(agent.Start());
    EXPECT_TRUE(agent.WaitForOutput(
        "manageaddr: \"localhost\" is not an address, a range a-b or a prefix; it matches nothing",
        5))
        << agent.Output();
    EXPECT_EQ(CallFrom(agent, "::1", "GetSettings").Code(), "200");
    EXPECT_EQ(CallFrom(agent, "127.0.0.1", "GetSettings").Code(), "600");
    EXPECT_NE(ReadFile(dir.File("bad.log")).find("\"localhost\" is not an address"),
              std::string::npos);

    RunResult verify = RunProgram(QDXCTL_BINARY, {"verify-config", agent.config()});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_NE(verify.err.find("warning:\nmanageaddr: \"localhost\" is not an address"),
              std::string::npos)
        << verify.err;
}

// qdxctl: -H with a bare or bracketed IPv6 address, and hosts-file lines of both forms.
TEST(Ipv6, QdxctlTalksToIpv6Addresses) {
    TempDir dir;
    Agent agent(dir, "host=\n");
    ASSERT_TRUE(agent.Start());
    const std::string port = std::to_string(agent.port());
    const std::string pass = "QDX_PASSWORD=" + Agent::Password();
    for (const char* host : {"::1", "[::1]"}) {
        RunResult r = RunProgram(QDXCTL_BINARY, {"-H", host, "-p", port, "GetInfo"}, 20, {pass});
        EXPECT_EQ(r.exitCode, 0) << host << r.err;
        EXPECT_EQ(r.out.rfind("200\n", 0), 0u) << host << r.out;
    }
    WriteFile(dir.File("hosts"), "::1\n[::1]:" + port + "\n127.0.0.1:" + port + "\n");
    RunResult many = RunProgram(QDXCTL_BINARY, {"-p", port, "--hosts", dir.File("hosts"), "-j",
                                                "GetInfo"},
                                20, {pass});
    EXPECT_EQ(many.exitCode, 0) << many.err << many.out;
    EXPECT_NE(many.out.find("\"::1\""), std::string::npos) << many.out;
}

// A port change by SetSettings moves the dual-stack listener: both families follow.
TEST(Ipv6, PortChangeMovesTheDualStackListener) {
    TempDir dir;
    Agent agent(dir, "host=\nmanageaddr=::1\n");
    ASSERT_TRUE(agent.Start());
    int fresh = FreePort();
    QdxEndpoint endpoint = agent.Endpoint();
    endpoint.host = "::1";
    QdxReplyText set = QdxCall(endpoint, "SetSettings", {"Port=" + std::to_string(fresh)});
    ASSERT_EQ(set.Code(), "200") << set.text;
    ASSERT_TRUE(agent.WaitForOutput("Server port switching .. Ok", 5));
    EXPECT_EQ(CallFrom(agent, "::1", "GetInfo", fresh).Code(), "200");
    EXPECT_EQ(CallFrom(agent, "127.0.0.1", "GetInfo", fresh).Code(), "200");
}

}  // namespace
