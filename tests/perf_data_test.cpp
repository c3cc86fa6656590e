// Performance data of the monitoring-plugin guidelines, written and read back.
#include "client/perf_data.h"

#include <gtest/gtest.h>

namespace {

TEST(PerfData, WritesAndReadsTheGuidelinesForm) {
    std::vector<PerfDatum> written = {{"count", "3", "", "5", "10", "", ""},
                                      {"free space", "12", "B", "", "", "0", "100"},
                                      {"it's", "U", "", "", "", "", ""}};
    std::string text = FormatPerfData(written);
    EXPECT_EQ(text, "count=3;5;10;; 'free space'=12B;;;0;100 'it''s'=U;;;;");
    std::vector<PerfDatum> read;
    EXPECT_TRUE(ParsePerfData(text, read));
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1].label, "free space");
    EXPECT_EQ(read[1].unit, "B");
    EXPECT_EQ(read[1].max, "100");
    EXPECT_EQ(read[2].label, "it's");
    EXPECT_EQ(read[2].value, "U");

    // A plugin's own data: short forms, ranges, several blanks; broken items are skipped.
    std::vector<PerfDatum> plugin;
    EXPECT_FALSE(ParsePerfData(" /=2010B;2705;2705;0;2705525 procs=0;1:;@1:2  t=0.5s x 'open=1 y=", plugin));
    ASSERT_EQ(plugin.size(), 3u);
    EXPECT_EQ(plugin[0].label, "/");
    EXPECT_EQ(plugin[1].warn, "1:");
    EXPECT_EQ(plugin[1].crit, "@1:2");
    EXPECT_EQ(plugin[2].value, "0.5");
    EXPECT_EQ(plugin[2].unit, "s");
    EXPECT_STREQ(PerfUnit("MB"), "MB");
    EXPECT_STREQ(PerfUnit("min"), "");
}

}  // namespace
