// The text of a text-log check's state file, and the hosts list of --hosts: what is taken and
// what is refused.
#include "client/log_state.h"

#include <gtest/gtest.h>

#include "client/host_list.h"

namespace {

TEST(LogState, OnlyAStateFileIsRead) {
    LogState state{"TEST-TextLog", "/var/log/app.log", "12", "34", "56"};
    std::string text = FormatLogState(state);
    LogState read;
    std::string error;
    ASSERT_TRUE(ParseLogState(text, "f", read, error)) << error;
    EXPECT_EQ(read.path, "/var/log/app.log");
    EXPECT_EQ(read.lastTime, "56");
    for (const std::string& wrong :
         {std::string("root:x:0:0:root:/root:/bin/bash\n"), std::string("position=1\n"),
          std::string(kLogStateMarker) + "position=abc\n",
          std::string(kLogStateMarker) + "position=-1\n",
          std::string(kLogStateMarker) + "last_size=123456789012345678901234\n"}) {
        LogState refused;
        EXPECT_FALSE(ParseLogState(wrong, "f", refused, error)) << wrong;
        EXPECT_NE(error.find("f is not a text-log state file"), std::string::npos);
    }
}

TEST(HostList, LinesAreHostsAndPorts) {
    std::vector<HostLine> hosts;
    std::string error;
    ASSERT_TRUE(ParseHostList("# fleet\nweb1:1055\n\n  web2   # no port\nweb1:1055\n", 7, hosts,
                              error))
        << error;
    ASSERT_EQ(hosts.size(), 3u);
    EXPECT_EQ(hosts[1].target.port, 7);
    EXPECT_EQ(hosts[2].duplicateOf, 2);

    // IPv6: bare (no port), bracketed, bracketed with a port.
    std::vector<HostLine> six;
    ASSERT_TRUE(ParseHostList("::1\n[::1]:1055\n[2001:db8::5]\n[::1]\n", 1056, six, error)) << error;
    ASSERT_EQ(six.size(), 4u);
    EXPECT_EQ(six[0].target.host, "::1");
    EXPECT_EQ(six[0].target.port, 1056);
    EXPECT_EQ(six[1].target.host, "::1");
    EXPECT_EQ(six[1].target.port, 1055);
    EXPECT_EQ(six[2].target.host, "2001:db8::5");
    EXPECT_EQ(six[3].duplicateOf, 1);
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"web1:0\n", "line 1: \"0\" is not a port"},
        {"web1:65536\n", "is not a port"},
        {"ok:1\nweb 1:1\n", "line 2: \"web 1:1\" is not host[:port]"},
        {std::string("ok:1\nweb\0:1\n", 11), "line 2: holds a NUL byte"},
        {"we\x1b" "b:1\n", "is not host[:port]"},
        {"web\n", "web has no port"},
        {"[::1\n", "is not [address]:port"},
        {"[::1]x\n", "is not [address]:port"},
        {"[web1]:1\n", "is not host[:port]"},
        // Two colons or more make an IPv6 address, which must then read as one.
        {"web1:1055:9\n", "line 1: \"web1:1055:9\" is not host[:port]"},
        {"[::1::2]:1\n", "is not host[:port]"},
        {"[::1]:\n", "\"\" is not a port"},
        {"::1\n", "::1 has no port"},
        {std::string(2000, 'a') + "\n", "longer than 1024 bytes"},
    };
    for (const Case& c : cases) {
        std::vector<HostLine> refused;
        EXPECT_FALSE(ParseHostList(c.text, 0, refused, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

}  // namespace
