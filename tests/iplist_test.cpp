#include "net/iplist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
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
    {"9.255.255.250-10.0.0.5", "10.0.0.0", true, ""},  // compared in host byte order
    {"10.0.0.5-", "10.0.0.5", true, ""},               // a trailing "-" leaves a single address
    {"10.0.0.5-", "10.0.0.6", false, ""},
    {"10.0.0.1-10.0.0.3-10.0.0.9", "10.0.0.9", true, ""},  // the second "-" ends the range item
    {"10.0.0.1-10.0.0.3-10.0.0.9", "10.0.0.5", false, ""},
    // Empty items and separators.
    {"10.0.0.1,,10.0.0.2", "10.0.0.1", true, ""},
    {"10.0.0.1,,10.0.0.2", "10.0.0.2", true, ""},
    {",10.0.0.1,", "10.0.0.1", true, ""},
    {"", "127.0.0.1", false, ""},
    {",-,", "127.0.0.1", false, ""},
    // 0.0.0.0 reads as 0 and ends the list.
    {"0.0.0.0,127.0.0.1", "127.0.0.1", false, ""},
    {"127.0.0.2,0,127.0.0.1", "127.0.0.1", false, ""},
    // Characters outside the list set are dropped, reported, and never refuse.
    {"127.0.0.1 ", "127.0.0.1", true, "Illegal character ( ) specified"},
    {"127.0.0.1, 10.0.0.1", "10.0.0.1", true, "Illegal character ( ) specified"},
    {"hosts: 127.0.0.1", "127.0.0.1", true, "Illegal character (h) specified"},
    {"127.0.0.1\r\n", "127.0.0.2", false, "Illegal character (\r) specified"},
    // A blank does not separate: the two addresses run together.
    {"10.0.0.1 10.0.0.2", "10.0.0.1", false, "Invalid IP address (10.0.0.110.0.0.2) specified"},
    // An address that does not read ends the scan and takes precedence over illegal characters.
    {"255.255.255.255,127.0.0.1", "127.0.0.1", false,
     "Invalid IP address (255.255.255.255) specified"},
    {"10.0.0.1,300.1.1.1 ", "10.0.0.2", false, "Invalid IP address (300.1.1.1) specified"},
    {"127.0.0.1,300.1.1.1", "127.0.0.1", true, ""},  // found before the bad item is read
    {"1..2,127.0.0.1", "127.0.0.1", false, "Invalid IP address (1..2) specified"},
    // A second address that does not read leaves the first as a single address, scan goes on;
    // the first problem is the one reported.
    {"10.0.0.1-300.0.0.0,10.0.0.9", "10.0.0.1", true, "Invalid IP address (300.0.0.0) specified"},
    {"10.0.0.1-300.0.0.0,10.0.0.9", "10.0.0.5", false, "Invalid IP address (300.0.0.0) specified"},
    {"10.0.0.1-300.0.0.0,10.0.0.9", "10.0.0.9", true, "Invalid IP address (300.0.0.0) specified"},
    {"10.0.0.1-,10.0.0.9", "10.0.0.9", true, "Invalid IP address () specified"},
    {"10.0.0.1-1..1,2-2..2,10.0.0.9", "10.0.0.9", true, "Invalid IP address (1..1) specified"},
};

TEST(IPAllowed, ListsAgainstAddresses) {
    for (const ListCase& c : kCases) {
        String error("stale");
        EXPECT_EQ(IPAllowed(c.address, String(c.list), error), c.allowed)
            << c.list << " / " << c.address;
        EXPECT_EQ(Str(error), c.error) << c.list << " / " << c.address;

        String error2;
        EXPECT_EQ(IPAllowed(static_cast<uint32_t>(inet_addr(c.address)), String(c.list), error2),
                  c.allowed)
            << c.list << " / " << c.address;
        EXPECT_EQ(Str(error2), c.error);
    }
}

TEST(IPAllowed, AddressTextThatDoesNotReadIsRefused) {
    for (const char* address : {"", "localhost", "255.255.255.255", "1.2.3.4.5"}) {
        String error("stale");
        EXPECT_FALSE(IPAllowed(address, String("0.0.0.1-255.255.255.254"), error)) << address;
        EXPECT_EQ(Str(error), "") << address;
    }
    String error;
    EXPECT_FALSE(IPAllowed(static_cast<const char*>(nullptr), String("127.0.0.1"), error));
}

TEST(IPAllowed, GetItemTakesOneItemOffTheFront) {
    String list("x1.2.3.4-5.6.7.8,9.9.9.9");
    String error;
    uint32_t from = 1, to = 1;
    getitem(list, from, to, error);
    EXPECT_EQ(from, 0x01020304u);
    EXPECT_EQ(to, 0x05060708u);
    EXPECT_EQ(Str(list), "9.9.9.9");
    getitem(list, from, to, error);
    EXPECT_EQ(from, 0x09090909u);
    EXPECT_EQ(to, 0u);
    EXPECT_EQ(Str(list), "");
    getitem(list, from, to, error);
    EXPECT_EQ(from, 0u);
    EXPECT_EQ(Str(error), "");

    String bad("7.7.7.777,1.1.1.1");
    getitem(bad, from, to, error);
    EXPECT_EQ(from, 0u);
    EXPECT_EQ(Str(error), "Invalid IP address (7.7.7.777) specified");
    EXPECT_EQ(Str(bad), "7.7.7.777,1.1.1.1") << "nothing removed";
}

// The active filter list as the configuration builds it: CR LF, then each active entry and CR LF.
TEST(FilterAdmits, WholeEntriesOnly) {
    const String list("\r\n127.0.0.1\r\n10.0.0.10\r\n192.168.1.5\r\n");
    struct Case {
        const char* peer;
        bool admitted;
    } cases[] = {
        {"127.0.0.1", true},     {"10.0.0.10", true},   {"192.168.1.5", true}, {"27.0.0.1", false},
        {"7.0.0.1", false},      {"127.0.0.10", false}, {"10.0.0.1", false},   {"0.0.0.1", false},
        {"192.168.1.50", false}, {"92.168.1.5", false}, {"", false},           {nullptr, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FilterAdmits(list, c.peer), c.admitted) << (c.peer ? c.peer : "(null)");
    EXPECT_FALSE(FilterAdmits(String("\r\n"), "127.0.0.1")) << "no active entry";
}

TEST(IPAllowed, ListCharacters) {
    for (char c : std::string("0123456789.-,")) EXPECT_TRUE(islistsetchar(c)) << c;
    for (char c : std::string(" \t\r\na/:;x+\x80\xff")) EXPECT_FALSE(islistsetchar(c)) << c;
    EXPECT_FALSE(islistsetchar('\0'));
}

}  // namespace
