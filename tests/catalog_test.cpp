// The client's command catalog against the agent's command table, and the parsers that read it:
// parameter filling, reply values and threshold ranges.
#include "client/catalog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "agent/command_table.h"
#include "client/reply_values.h"
#include "client/request_params.h"
#include "client/threshold.h"

namespace {

TEST(Catalog, HoldsExactlyTheAgentsCommands) {
    std::set<std::string> agent, catalog;
    for (const Command& command : AllCommands()) agent.insert(command.name);
    for (const CommandSpec& command : Catalog()) {
        EXPECT_TRUE(catalog.insert(command.name).second) << command.name << " twice";
        EXPECT_NE(FindCommand(command.name), nullptr) << command.name << " unknown to the agent";
    }
    EXPECT_EQ(agent, catalog);
}

// Names are lower_case and unique within a command; positions are valid; a main value names a
// value the command returns, and every move names a parameter of the same command.
TEST(Catalog, RowsAreConsistent) {
    auto lowerCase = [](const std::string& name) {
        return !name.empty() &&
               name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
    };
    for (const CommandSpec& command : Catalog()) {
        std::set<std::string> names;
        for (const ParamSpec& param : command.params) {
            EXPECT_TRUE(lowerCase(param.name)) << command.name << " " << param.name;
            EXPECT_TRUE(names.insert(param.name).second) << command.name << " " << param.name;
            EXPECT_GE(param.position, 1);
            for (const ParamMove& move : param.moves)
                EXPECT_NE(FindParam(command, move.whenParam), nullptr) << command.name;
        }
        for (std::span<const ValueSpec> group : {command.values, command.records, command.failures})
            for (const ValueSpec& value : group)
                EXPECT_TRUE(lowerCase(value.name)) << command.name << " " << value.name;
        if (command.mainValue != nullptr) {
            EXPECT_NE(FindValue(command, command.mainValue), nullptr) << command.name;
        }
    }
}

struct FillCase {
    const char* command;
    std::vector<std::string> words;
    std::vector<std::string> lines;  // expected; empty with an error
    const char* error = nullptr;     // part of the expected error
    bool wire = false;
};

TEST(Catalog, FillsParametersFromPositionsNamesAndDefaults) {
    const FillCase cases[] = {
        // Positional words fill the parameters the agent reads, in the catalog's order, skipping
        // lines it does not read; defaults fill the rest.
        {"TEST-Process", {"qdx"}, {"", "qdx"}},
        {"TEST-CountFiles", {"/dir"}, {"/dir", "*"}},
        {"TEST-ExternalPrg", {"sleep 1", "", "-1"}, {"sleep 1", "", "", "-1"}},
        {"TEST-TextLog", {"/log", "'a=b'"}, {"/log", "'a=b'"}},
        // The mode decides which comparison flags follow it, and where the macro switches sit.
        {"TEST-FileCompare", {"3", "/f", "x", "1", "1"}, {"3", "/f", "x", "1", "1"}},
        {"TEST-FileCompare",
         {"1", "/a", "/b", "0", "1", "1", "1", "1"},
         {"1", "/a", "/b", "0", "1", "1", "", "", "", "", "", "1", "1"}},
        {"TEST-FileCompare",
         {"3", "/f", "x", "0", "0", "1"},
         {"3", "/f", "x", "0", "0", "", "", "", "", "", "1"}},
        // The second filter of TEST-TextLog2 is read only when use_filter2 is 1.
        {"TEST-TextLog2",
         {"/l", "", "", "", "", "e", "", "", "", "1", "w"},
         {"/l", "", "", "", "", "e", "", "", "", "1", "w"}},
        {"TEST-TextLog2",
         {"/l", "", "", "", "", "e", "", "", "", "0", "1"},
         {"/l", "", "", "", "", "e", "", "", "", "0", "", "", "", "", "", "1"}},
        // --wire: every word one line, exactly as given.
        {"TEST-ExternalPrg", {"sleep 1", "", "", "-1"}, {"sleep 1", "", "", "-1"}, nullptr, true},
        {"TEST-Process", {"", "qdx"}, {"", "qdx"}, nullptr, true},
        // Names fill their positions, defaults the rest up to the last one that differs from an
        // empty line.
        {"TEST-CountFiles", {"--path", "/tmp"}, {"/tmp", "*"}},
        {"TEST-CountFiles", {"/tmp", "--mode=1", "--limit", "-5"}, {"/tmp", "*", "", "1", "-5"}},
        {"TEST-UNC", {"--path=/var"}, {"/var"}},
        // "--" ends the names: a value beginning with "--" travels positionally.
        {"TEST-UNC", {"--", "--odd"}, {"--odd"}},
        // Moves: the macro switch sits where the mode or the second filter puts it.
        {"TEST-FileCompare",
         {"--mode", "3", "--path", "/f", "--path2", "x", "--macros", "1"},
         {"3", "/f", "x", "", "", "", "", "", "", "", "1"}},
        {"TEST-FileCompare",
         {"--mode", "1", "--path", "/a", "--path2", "/b", "--macros", "1"},
         {"1", "/a", "/b", "", "", "", "", "", "", "", "", "1"}},
        {"TEST-TextLog2",
         {"--path", "/l", "--use_filter2", "1", "--macros", "1"},
         {"/l", "", "", "", "", "", "", "", "", "1", "", "", "", "", "", "", "", "", "", "1"}},
        // Values with line breaks are escaped where the parameter travels escaped.
        {"TEST-ShellScript",
         {"--script", "echo a\necho b"},
         {"/bin/sh %script% %params%", "echo a%0Aecho b", "", "10", "10"}},
        // Refusals.
        {"TEST-UNC", {"--nope", "1"}, {}, "unknown parameter --nope"},
        {"TEST-UNC", {"--path", "a", "--path", "b"}, {}, "given twice"},
        {"TEST-UNC", {"/a", "--path", "/b"}, {}, "given both by word 1 and by --path"},
        {"TEST-UNC", {"/a", "/b"}, {}, "takes 1 parameter (path), but 2 words"},
        {"TEST-CPU", {"x"}, {}, "takes 0 parameters"},
        {"TEST-FileCompare", {"--mode", "3", "--compare_times", "1"}, {}, "read only when"},
        {"TEST-TextLog2", {"--expression2", "x"}, {}, "read only when --use_filter2 is 1"},
        {"TEST-UNC", {"--path"}, {}, "needs a value"},
        {"TEST-UNC", {"a\nb"}, {}, "line break"},
        {"TEST-UNC", {"a\nb"}, {}, "line break", true},
    };
    for (const FillCase& c : cases) {
        const CommandSpec* command = FindCommandSpec(c.command);
        ASSERT_NE(command, nullptr) << c.command;
        std::vector<std::string> positional, lines;
        std::vector<NamedParam> given;
        std::string error;
        bool ok = SplitWords(c.words, !c.wire, positional, given, error) &&
                  BuildParamLines(command, positional, given, c.wire, lines, error);
        std::string what = std::string(c.command) + " " + (c.words.empty() ? "" : c.words[0]);
        if (c.error != nullptr) {
            EXPECT_FALSE(ok) << what;
            EXPECT_NE(error.find(c.error), std::string::npos) << what << ": " << error;
        } else {
            EXPECT_TRUE(ok) << what << ": " << error;
            EXPECT_EQ(lines, c.lines) << what;
        }
    }
}

QdxReplyText Reply(const std::string& text) {
    QdxReplyText reply;
    reply.status = CallStatus::Ok;
    reply.text = text;
    return reply;
}

TEST(Catalog, ReadsReplyValuesByName) {
    const CommandSpec* exists = FindCommandSpec("TEST-FileExists");
    ReplyValues values = ReadReplyValues(
        exists, {"/f"}, Reply("200\n    49\n25122026134501\n01012000000000\n/f\nmin\n7\n\r"));
    ASSERT_EQ(values.values.size(), 6u);
    EXPECT_EQ(values.Find("size_bytes")->text, "49");
    EXPECT_EQ(values.Find("changed_time")->text, "2026-12-25T13:45:01");
    double minutes = 0;
    EXPECT_TRUE(values.Find("age_minutes")->Number(minutes));
    EXPECT_EQ(minutes, 7);

    // Key=Value lines: escaped lists become entries; unknown keys get a derived name.
    ReplyValues info = ReadReplyValues(
        FindCommandSpec("GetInfo"), {},
        Reply("200\nAvailable tests=TCP%0D%0AUDP%0D%0A\nOpenedConnections=3\nNewKey=x=y\n\r"));
    EXPECT_EQ(info.Find("available_tests")->items, (std::vector<std::string>{"TCP", "UDP"}));
    EXPECT_EQ(info.Find("opened_connections")->text, "3");
    EXPECT_EQ(info.Find("new_key")->text, "x=y");

    // The file list: records whose fields follow the request's switches.
    ReplyValues list = ReadReplyValues(FindCommandSpec("GetFilesList"),
                                       {"/d", "*", "0", "1", "0", "0", "0", "0", "1"},
                                       Reply("200\n/d/\n2\n3\na\n0\n01012000000000\nb\n0\n"
                                             "02012000000000\n\r"));
    ASSERT_EQ(list.values.size(), 9u);
    EXPECT_EQ(list.values[6].name, "name");
    EXPECT_EQ(list.values[6].record, 2);
    EXPECT_EQ(list.values[8].text, "2000-01-02T00:00:00");

    // Refusals keep their reason; the network tests' failures are named.
    ReplyValues refused = ReadReplyValues(FindCommandSpec("TEST-UNC"), {},
                                          Reply("301\nNo such file%0D%0A\n\r"));
    EXPECT_EQ(refused.reason, (std::vector<std::string>{"No such file"}));
    ReplyValues tcp = ReadReplyValues(FindCommandSpec("TEST-TCP"), {},
                                      Reply("301\nConnection refused\n-6\n\r"));
    EXPECT_EQ(tcp.Find("error_code")->text, "-6");
    // A reply with CR LF inside a value line keeps it in the text, for each output to show.
    ReplyValues tcpOk = ReadReplyValues(FindCommandSpec("TEST-TCP"), {},
                                        Reply("200\n    12\n220 ready%0D%0A\n\r"));
    EXPECT_EQ(tcpOk.Find("received")->text, "220 ready\r\n");
}

// Only finite decimal numbers are values: a CPU script's "nan" becomes "   nan" on the wire.
TEST(Catalog, OnlyFiniteDecimalNumbersAreNumbers) {
    for (const char* number : {"12", "   12", "-3", "+4", "12.5000", "0.5", "  7\r"}) {
        double value = 0;
        EXPECT_TRUE(DecimalNumber(number, value)) << number;
    }
    for (const char* text : {"", "   ", "nan", "   nan", "inf", "-inf", "1e5", "0x10", "U", "1.",
                             ".5", "1 2", "12a", "--1"}) {
        double value = 0;
        EXPECT_FALSE(DecimalNumber(text, value)) << text;
    }
}

// TEST-UNC's derived values follow df: used = total - free over used + available.
TEST(Catalog, DerivesFreeSpaceAsDfDoes) {
    struct Case {
        const char* total;
        const char* free;
        const char* available;
        const char* used, *availablePercent, *freePercent;
    } cases[] = {
        {"1000", "300", "200", "77.78", "22.22", "30.00"},
        // Root's reserve overdrawn: available is negative, and the figures say so.
        {"1000", "50", "-10", "101.06", "-1.06", "5.00"},
        // Nothing to divide by.
        {"0", "0", "0", "U", "U", "U"},
        {"1000", "1000", "-5", "U", "U", "100.00"},
        {"1000", "x", "5", "U", "U", "U"},
    };
    const CommandSpec* unc = FindCommandSpec("TEST-UNC");
    EXPECT_STREQ(unc->mainValue, "available_bytes");
    for (const Case& c : cases) {
        QdxReplyText reply;
        reply.status = CallStatus::Ok;
        reply.text = std::string("200\n") + c.total + "\n" + c.free + "\n" + c.available + "\n\r";
        ReplyValues values = ReadReplyValues(unc, {"/"}, reply);
        ASSERT_NE(values.Find("free_percent"), nullptr);
        EXPECT_EQ(values.Find("used_percent")->text, c.used) << c.total << " " << c.free;
        EXPECT_EQ(values.Find("available_percent")->text, c.availablePercent);
        EXPECT_EQ(values.Find("free_percent")->text, c.freePercent);
        EXPECT_TRUE(values.Find("free_percent")->derived);
    }
}

TEST(Threshold, ParsesTheGuidelinesRanges) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* text;
        double start, end;
        bool inside;
        std::vector<double> alert, quiet;
    } cases[] = {
        {"10", 0, 10, false, {-1, 10.5, 11}, {0, 5, 10}},
        {"10:", 10, inf, false, {9.99, -3}, {10, 1e12}},
        {"~:10", -inf, 10, false, {11}, {-1e12, 10}},
        {"10:20", 10, 20, false, {9, 21}, {10, 15, 20}},
        {"@10:20", 10, 20, true, {10, 15, 20}, {9, 21}},
        {"-5:5", -5, 5, false, {-6, 6}, {-5, 0, 5}},
        {"1.5:2.5", 1.5, 2.5, false, {1.4}, {2.5}},
    };
    for (const Case& c : cases) {
        ThresholdRange range;
        std::string error;
        ASSERT_TRUE(ParseThresholdRange(c.text, range, error)) << c.text << error;
        EXPECT_EQ(range.start, c.start) << c.text;
        EXPECT_EQ(range.end, c.end) << c.text;
        EXPECT_EQ(range.inside, c.inside) << c.text;
        for (double v : c.alert) EXPECT_TRUE(range.Alerts(v)) << c.text << " " << v;
        for (double v : c.quiet) EXPECT_FALSE(range.Alerts(v)) << c.text << " " << v;
    }
    for (const char* bad : {"", "abc", "20:10", "@", "1:2:3", "~", "nan", "inf:", "0x10", "5:x"}) {
        ThresholdRange range;
        std::string error;
        EXPECT_FALSE(ParseThresholdRange(bad, range, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
