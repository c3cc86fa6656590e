// The syslog message, byte for byte with a fixed clock, and one datagram to a capturing peer.
#include "net/syslog.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "loopback_peers.h"
#include "net/resolve.h"

namespace {

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

tm LocalTime(int day, int month, int hour, int minute, int second) {
    tm t{};
    t.tm_year = 126;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(SyslogTest, TimeStampPadsTheDayWithABlank) {
    EXPECT_EQ(Str(CDateTime(LocalTime(5, 3, 9, 3, 4))), "Mar  5 09:03:04");
    EXPECT_EQ(Str(CDateTime(LocalTime(15, 12, 23, 59, 59))), "Dec 15 23:59:59");
    EXPECT_EQ(Str(CDateTime(LocalTime(1, 1, 0, 0, 0))), "Jan  1 00:00:00");
    EXPECT_EQ(CDateTime().Length(), 15);
}

TEST(SyslogTest, MessageLayout) {
    struct Case {
        int facility;
        int severity;
        const char* text;
        const char* message;
    } cases[] = {
        {1, 5, "disk full", "<13>Mar  5 09:03:04 10.1.2.3 Brenn QDX: disk full"},
        {0, 0, "", "<0>Mar  5 09:03:04 10.1.2.3 Brenn QDX: "},
        {23, 7, "a\r\nb", "<191>Mar  5 09:03:04 10.1.2.3 Brenn QDX: a\r\nb"},
        // The facility is used as given; the priority never overflows.
        {300000000, 5, "x", "<2400000005>Mar  5 09:03:04 10.1.2.3 Brenn QDX: x"},
        {-1, 2, "x", "<-6>Mar  5 09:03:04 10.1.2.3 Brenn QDX: x"},
    };
    for (const Case& c : cases) {
        String message =
            SyslogMessage(LocalTime(5, 3, 9, 3, 4), "10.1.2.3", c.facility,
                          static_cast<TSyslogSeverity>(c.severity), "Brenn QDX", c.text);
        EXPECT_EQ(Str(message), c.message);
    }
}

TEST(SyslogTest, SendsOneDatagram) {
    peers::UdpPeer collector(peers::UdpPeer::Mode::Capture);
    String error;
    int sent =
        SendToSysLog("127.0.0.1", collector.port(), 4, kSyslogWarning, "tag", "it works", error);
    ASSERT_TRUE(collector.WaitForEntries(1, 5));
    std::string datagram = collector.Received()[0];
    EXPECT_EQ(sent, static_cast<int>(datagram.size()));
    EXPECT_EQ(Str(error), "");
    std::string address = Str(IP2String(GetMyIP()));
    std::regex layout("<36>[A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] " +
                      std::regex_replace(address, std::regex("\\."), "\\.") + " tag: it works");
    EXPECT_TRUE(std::regex_match(datagram, layout)) << datagram;

    EXPECT_EQ(SendToSysLog("no..such..host", collector.port(), 1, kSyslogNotice, "tag", "x", error),
              kIpResolveError);
    EXPECT_EQ(Str(error), "Cannot resolve server name to IP address");
}

}  // namespace
