// Reports of events that can come in floods: the first is logged at once, the rest at most once a
// second with their count.
#include "agent/event_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> lines;

void Collect(const char* line) {
    lines.push_back(line);
}

TEST(EventReport, FirstAtOnceThenOneLineASecondWithTheCount) {
    lines.clear();
    EventReport report("Accept error: %s", Collect);
    report.NoteAt(10000, "Too many open files");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Accept error: Too many open files\n");

    for (int i = 0; i < 5; i++) report.NoteAt(10100 + i, "Too many open files");
    report.FlushAt(10900);
    EXPECT_EQ(lines.size(), 1u) << "held back within the second";
    report.NoteAt(11000, "Cannot allocate memory");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Accept error: Cannot allocate memory (6 times)\n");

    report.NoteAt(11500, "Too many open files");
    report.FlushAt(12000);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Accept error: Too many open files\n");
    report.FlushAt(20000);
    EXPECT_EQ(lines.size(), 3u) << "nothing held back, nothing to log";
}

TEST(EventReport, WithoutDetail) {
    lines.clear();
    EventReport report("Session limit reached", Collect);
    report.NoteAt(0);
    report.NoteAt(1);
    report.NoteAt(2);
    report.FlushAt(1000);
    EXPECT_EQ(lines, (std::vector<std::string>{"Session limit reached\n",
                                               "Session limit reached (2 times)\n"}));
}

}  // namespace
