// Log lines kept apart per peer: the first at once, then at most one a second per peer with the
// count, in a table of bounded size.
#include "agent/peer_report.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> lines;

void Collect(const char* line, const PeerAddress& peer) {
    char address[kPeerTextSize];
    peer.Text(address);
    lines.push_back(std::string(address) + " | " + line);
}

in_addr Address(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address;
}

TEST(PeerReport, EachPeerAtOnceThenOneLineASecondWithTheCount) {
    lines.clear();
    PeerReport report("Wrong password from %s", 8, Collect);
    const in_addr guesser = Address("127.0.0.5"), other = Address("10.0.0.1");
    report.NoteAt(guesser, 5000);
    for (int i = 1; i <= 40; i++) report.NoteAt(guesser, 5000 + i * 10);
    // The run of one peer does not hold back the lines of another.
    report.NoteAt(other, 5500);
    report.FlushAt(5900);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "127.0.0.5 | Wrong password from 127.0.0.5\n",
                         "10.0.0.1 | Wrong password from 10.0.0.1\n",
                     }));
    report.FlushAt(6000);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "127.0.0.5 | Wrong password from 127.0.0.5 (40 times)\n");
    report.FlushAt(9000);
    EXPECT_EQ(lines.size(), 3u) << "nothing held back, nothing to log";
    report.NoteAt(guesser, 9100);
    EXPECT_EQ(lines.back(), "127.0.0.5 | Wrong password from 127.0.0.5\n");
}

// A flood from many addresses keeps the table at its size; a forgotten peer's held-back count is
// logged as it goes, so no refusal is lost.
TEST(PeerReport, FullTableForgetsTheLeastRecentPeerAfterLoggingItsCount) {
    lines.clear();
    PeerReport report("Wrong password from %s", 2, Collect);
    report.NoteAt(Address("10.0.0.1"), 1000);
    report.NoteAt(Address("10.0.0.1"), 1100);
    report.NoteAt(Address("10.0.0.2"), 1200);
    report.NoteAt(Address("10.0.0.3"), 1300);  // 10.0.0.1 goes, with its held-back line
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "10.0.0.1 | Wrong password from 10.0.0.1\n",
                         "10.0.0.2 | Wrong password from 10.0.0.2\n",
                         "10.0.0.1 | Wrong password from 10.0.0.1\n",
                         "10.0.0.3 | Wrong password from 10.0.0.3\n",
                     }));
    // 10.0.0.1 comes back as a new peer; 10.0.0.2, now the least recent, makes room.
    report.NoteAt(Address("10.0.0.1"), 1400);
    report.NoteAt(Address("10.0.0.3"), 1500);
    report.FlushAt(5000);
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "10.0.0.1 | Wrong password from 10.0.0.1\n");
    EXPECT_EQ(lines[5], "10.0.0.3 | Wrong password from 10.0.0.3\n");
}

}  // namespace
