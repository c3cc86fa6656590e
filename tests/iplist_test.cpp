#include "net/iplist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

// An address text as the peer of a connection: IPv4-mapped IPv6 comes out as IPv4.
PeerAddress Peer(const char* text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text, &v4) == 1) return PeerAddress(v4);
    in6_addr v6{};
    EXPECT_EQ(inet_pton(AF_INET6, text, &v6), 1) << text;
    return PeerAddress(v6);
}

struct ListCase {
    const char* list;
    const char* address;
    bool allowed;
    const char* error;
};

const ListCase kCases[] = {
    // Single addresses.
    {"127.0.0.1", "127.0.0.1", true, ""},
    {"127.0.0.1", "127.0.0.2", false, ""},
    {"10.0.0.1,127.0.0.1", "127.0.0.1", true, ""},
    {"127.1", "127.0.0.1", true, ""},  // short dotted forms as inet_addr reads them
    {"0177.0.0.1", "127.0.0.1", true, ""},
    // Ranges, in either order, both ends included.
    {"10.0.0.20-10.0.0.10", "10.0.0.10", true, ""},
    {"10.0.0.20-10.0.0.10", "10.0.0.15", true, ""},
    {"10.0.0.20-10.0.0.10", "10.0.0.20", true, ""},
    {"10.0.0.20-10.0.0.10", "10.0.0.21", false, ""},
    {"10.0.0.10-10.0.0.20", "10.0.0.9", false, ""},
    {"9.255.255.250-10.0.0.5", "10.0.0.0", true, ""},  // compared as numbers, not bytes alone
    {"10.0.0.5-", "10.0.0.5", true, ""},               // a trailing "-" leaves a single address
    {"10.0.0.5-", "10.0.0.6", false, ""},
    // Empty items, blanks and separators.
    {"10.0.0.1,,10.0.0.2", "10.0.0.1", true, ""},
    {"10.0.0.1,,10.0.0.2", "10.0.0.2", true, ""},
    {",10.0.0.1,", "10.0.0.1", true, ""},
    {"127.0.0.1, 10.0.0.1 ", "10.0.0.1", true, ""},
    {"127.0.0.1\r\n", "127.0.0.1", true, ""},
    {"", "127.0.0.1", false, ""},
    {", ,", "127.0.0.1", false, ""},
    // An entry that does not read matches nothing, is reported, and leaves the others working.
    {"255.255.255.255,127.0.0.1", "127.0.0.1", true,
     "Invalid IP address (255.255.255.255) specified"},
    {"10.0.0.1,300.1.1.1", "10.0.0.2", false, "Invalid IP address (300.1.1.1) specified"},
    {"1..2,127.0.0.1", "127.0.0.1", true, "Invalid IP address (1..2) specified"},
    {"10.0.0.1 10.0.0.2", "10.0.0.1", false, "Invalid IP address (10.0.0.1 10.0.0.2) specified"},
    {"10.0.0.1-300.0.0.0,10.0.0.9", "10.0.0.1", false,
     "Invalid IP address (10.0.0.1-300.0.0.0) specified"},
    {"10.0.0.1-10.0.0.3-10.0.0.9,10.0.0.9", "10.0.0.9", true,
     "Invalid IP address (10.0.0.1-10.0.0.3-10.0.0.9) specified"},
    {"hosts: 127.0.0.1", "127.0.0.1", false, "Invalid IP address (hosts: 127.0.0.1) specified"},
    {"0.0.0.0,127.0.0.1", "127.0.0.1", true, ""},  // 0.0.0.0 is an address like another
    // Prefixes.
    {"192.0.2.0/24", "192.0.2.255", true, ""},
    {"192.0.2.0/24", "192.0.3.0", false, ""},
    {"192.0.2.77/24", "192.0.2.1", true, ""},  // host bits are ignored
    {"0.0.0.0/0", "203.0.113.9", true, ""},
    {"10.0.0.1/32", "10.0.0.1", true, ""},
    {"10.0.0.1/33", "10.0.0.1", false, "Invalid IP address (10.0.0.1/33) specified"},
    {"10/8", "10.0.0.1", false, "Invalid IP address (10/8) specified"},
    {"10.0.0.0/", "10.0.0.1", false, "Invalid IP address (10.0.0.0/) specified"},
    {"10.0.0.0/8-10.0.0.9", "10.0.0.1", false,
     "Invalid IP address (10.0.0.0/8-10.0.0.9) specified"},
    // IPv6: addresses, ranges, prefixes; the families never match each other.
    {"::1", "::1", true, ""},
    {"127.0.0.1, ::1", "::1", true, ""},
    {"::1", "127.0.0.1", false, ""},
    {"127.0.0.1", "::1", false, ""},
    {"2001:DB8::1", "2001:db8::1", true, ""},
    {"2001:db8::10-2001:db8::1", "2001:db8::a", true, ""},
    {"2001:db8::10-2001:db8::1", "2001:db8::11", false, ""},
    {"2001:db8::/32", "2001:db8:ffff::1", true, ""},
    {"2001:db8::/32", "2001:db9::", false, ""},
    {"fe80::/10", "febf::1", true, ""},
    {"::/0", "2001:db8::1", true, ""},
    {"::/0", "10.0.0.1", false, ""},
    {"2001:db8::/129", "2001:db8::", false, "Invalid IP address (2001:db8::/129) specified"},
    {"10.0.0.1-::1", "10.0.0.1", false, "Invalid IP address (10.0.0.1-::1) specified"},
    {"2001:db8::zz,::1", "::1", true, "Invalid IP address (2001:db8::zz) specified"},
    // An IPv4-mapped peer is its IPv4 address.
    {"127.0.0.1", "::ffff:127.0.0.1", true, ""},
    {"10.0.0.0/8", "::ffff:10.1.2.3", true, ""},
    {"::ffff:0:0/96", "::ffff:10.1.2.3", false, ""},
};

TEST(IPAllowed, ListsAgainstAddresses) {
    for (const ListCase& c : kCases) {
        String error("stale");
        EXPECT_EQ(IPAllowed(c.address, String(c.list), error), c.allowed)
            << c.list << " / " << c.address;
        EXPECT_EQ(Str(error), c.error) << c.list << " / " << c.address;

        String error2;
        EXPECT_EQ(IPAllowed(Peer(c.address), String(c.list), error2), c.allowed)
            << c.list << " / " << c.address;
    }
}

TEST(IPAllowed, AddressTextThatDoesNotReadIsRefused) {
    for (const char* address : {"", "x", "1.2.3", "256.0.0.1", "::g", "1.2.3.4 "}) {
        String error;
        EXPECT_FALSE(IPAllowed(address, String("0.0.0.0/0, ::/0"), error)) << address;
    }
    String error;
    EXPECT_FALSE(IPAllowed(static_cast<const char*>(nullptr), String("127.0.0.1"), error));
}

// The active filter list as the configuration builds it: CR LF, then each active entry and CR LF.
TEST(FilterAdmits, EntriesAsAddressesRangesAndPrefixes) {
    const String list(
        "\r\n127.0.0.1\r\n10.0.0.10\r\n192.168.1.5\r\n::1\r\n2001:db8::/48\r\n"
        "172.16.0.9-172.16.0.1\r\n127.1\r\nnot-an-address\r\n");
    struct Case {
        const char* peer;
        bool admitted;
    } cases[] = {
        {"127.0.0.1", true},      {"10.0.0.10", true},        {"192.168.1.5", true},
        {"27.0.0.1", false},      {"127.0.0.10", false},      {"10.0.0.1", false},
        {"192.168.1.50", false},  {"::1", true},              {"::2", false},
        {"2001:db8:0:1::", true}, {"2001:db8:1::", false},    {"172.16.0.5", true},
        {"172.16.0.10", false},   {"::ffff:127.0.0.1", true}, {"::ffff:10.0.0.1", false},
        {"127.0.0.2", false},  // "127.1" is no dotted address: it admits nobody
    };
    for (const Case& c : cases) EXPECT_EQ(FilterAdmits(list, Peer(c.peer)), c.admitted) << c.peer;
    EXPECT_FALSE(FilterAdmits(String("\r\n"), Peer("127.0.0.1"))) << "no active entry";
}

TEST(UnreadableEntries, NamesWhatMatchesNothing) {
    auto right = UnreadableEntries(String("127.0.0.1, ::1,localhost,10.0.0.0/8, 1.2.3.4/40,"), false);
    ASSERT_EQ(right.size(), 2u);
    EXPECT_EQ(right[0], "localhost");
    EXPECT_EQ(right[1], " 1.2.3.4/40");
    auto filter = UnreadableEntries(String("127.0.0.1 ::1  127.1 2001:db8::/32 x"), true);
    ASSERT_EQ(filter.size(), 2u);
    EXPECT_EQ(filter[0], "127.1");
    EXPECT_EQ(filter[1], "x");
}

}  // namespace

namespace {

// Peers as accept() gives them: IPv4-mapped IPv6 is the IPv4 address; loopback of both families
// (what "plainlocalonly" admits on the plain port).
TEST(PeerAddress, MappedPeersAreIpv4AndLoopbackIsKnown) {
    struct Case {
        const char* address;
        const char* text;
        int family;
        bool loopback;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1", AF_INET, true},
        {"127.255.0.9", "127.255.0.9", AF_INET, true},
        {"::ffff:127.0.0.1", "127.0.0.1", AF_INET, true},
        {"::ffff:192.0.2.1", "192.0.2.1", AF_INET, false},
        {"::1", "::1", AF_INET6, true},
        {"::2", "::2", AF_INET6, false},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1", AF_INET6, false},
        {"128.0.0.1", "128.0.0.1", AF_INET, false},
    };
    for (const Case& c : cases) {
        sockaddr_in6 six{};
        six.sin6_family = AF_INET6;
        sockaddr_in four{};
        four.sin_family = AF_INET;
        PeerAddress peer;
        if (inet_pton(AF_INET, c.address, &four.sin_addr) == 1) {
            peer = PeerAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&four), sizeof four);
        } else {
            ASSERT_EQ(inet_pton(AF_INET6, c.address, &six.sin6_addr), 1);
            peer = PeerAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&six), sizeof six);
        }
        char text[kPeerTextSize];
        peer.Text(text);
        EXPECT_STREQ(text, c.text) << c.address;
        EXPECT_EQ(peer.family, c.family) << c.address;
        EXPECT_EQ(peer.IsLoopback(), c.loopback) << c.address;
    }
}

}  // namespace
