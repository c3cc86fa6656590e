// TEST-TextLog and TEST-TextLog2 against the running agent, used the way a monitoring server uses
// them: logs are written and grown by the test, and every request carries the state values of
// the previous reply.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using Lines = std::vector<std::string>;

std::string Trim(const std::string& s) {
    size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? "" : s.substr(a);
}

// "%6.0f" of a whole number, as the agent writes 64-bit values.
std::string Num(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%6.0f", value);
    return text;
}

void Append(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

void SetAge(const std::string& path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string Age(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? Num(static_cast<double>(st.st_mtime)) : "?";
}

class TextLog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent.Start()); }

    // One request; the state values of a "200" reply are kept for the next one.
    Lines Call(const char* command, const Lines& params, size_t stateAt) {
        QdxReplyText reply = agent.Call(command, params);
        EXPECT_EQ(reply.status, CallStatus::Ok) << reply.error;
        code = reply.Code();
        Lines lines = reply.Lines();
        if (code == "200" && lines.size() > stateAt + 2) {
            position = Trim(lines[stateAt]);
            lastSize = Trim(lines[stateAt + 1]);
            lastTime = Trim(lines[stateAt + 2]);
        }
        return lines;
    }
    // TEST-TextLog: value, line, another match, position, last size, last time, file size.
    Lines Check(const std::string& path, const std::string& text, const char* scanToEnd = "0",
                const char* expression = "0", const char* caseSensitive = "0") {
        return Call(
            "TEST-TextLog",
            {path, text, position, lastSize, lastTime, expression, scanToEnd, caseSensitive, "0"},
            3);
    }
    // TEST-TextLog2 with "error" (plain) and 'warning' (an expression) as filters; the macro
    // switch goes to parameter 20, or 16 without the second filter.
    Lines Check2(const std::string& path, bool second, const char* macros = "0") {
        Lines params = {path, position, lastSize, lastTime, "0", "error", "0", "0", "0"};
        if (second) {
            Lines more = {"1", "'warning'", "1", "0", "1", "", "", "", "", "", macros};
            params.insert(params.end(), more.begin(), more.end());
        } else {
            Lines more = {"0", "", "", "", "", "", macros};
            params.insert(params.end(), more.begin(), more.end());
        }
        return Call("TEST-TextLog2", params, 3);
    }

    TempDir dir;
    Agent agent{dir};
    std::string log = dir.File("app.log");
    std::string position, lastSize, lastTime, code;
};

TEST_F(TextLog, ServerSeesEveryNewMatchOnceAndInOrder) {
    std::string old;
    for (int i = 0; i < 10; i++) {
        std::string text = i == 3 ? "ERROR before the first check" : "line";
        text.resize(99, '.');
        old += text + "\n";
    }
    Append(log, old);
    SetAge(log, 1700000000);

    Lines marked = {Num(0), "", "0", Num(999), Num(1000), Num(1700000000), Num(1000)};
    EXPECT_EQ(Check(log, "error"), marked) << "a first check only marks the end";
    EXPECT_EQ(Check(log, "error"), marked) << "unchanged";

    Append(log, "a\nERROR x\nb\n");
    EXPECT_EQ(Check(log, "error"),
              (Lines{Num(1003), "ERROR x", "0", Num(1012), Num(1012), Age(log), Num(1012)}));

    // Two matches: the first comes with the another-match flag and the state right after it.
    Append(log, "ERROR one\nok\nERROR two\n");
    EXPECT_EQ(Check(log, "error"),
              (Lines{Num(1013), "ERROR one", "1", Num(1022), Num(1012), Age(log), Num(1035)}));
    EXPECT_EQ(Check(log, "error"),
              (Lines{Num(1026), "ERROR two", "0", Num(1035), Num(1035), Age(log), Num(1035)}));

    Append(log, "ERROR three\nERROR four\nz\n");
    EXPECT_EQ(Check(log, "error", "1"),
              (Lines{Num(1048), "ERROR four", "0", Num(1060), Num(1060), Age(log), Num(1060)}));

    // An unfinished line is found once its line end is there; CR LF and blank lines are read
    // like LF.
    Append(log, "ERROR part");
    EXPECT_EQ(Check(log, "error"),
              (Lines{Num(0), "", "0", Num(1060), Num(1070), Age(log), Num(1070)}));
    Append(log, "ial\r\n\r\n\r\nERROR crlf\r\n");
    EXPECT_EQ(Check(log, "error")[1], "ERROR partial");
    EXPECT_EQ(Check(log, "error"),
              (Lines{Num(1075), "ERROR crlf", "0", Num(1090), Num(1091), Age(log), Num(1091)}));

    // Truncated below the position: read again from the start.
    int fd = open(log.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);
    Append(log, "ERROR again\n");
    EXPECT_EQ(Check(log, "error"),
              (Lines{Num(1), "ERROR again", "0", Num(12), Num(12), Age(log), Num(12)}));
}

TEST_F(TextLog, ExpressionsCaseAndLongLines) {
    Append(log, "start\n");
    Check(log, "x");
    Append(log, "error debug\nError real\n");
    Lines lines = Check(log, "'error' and not 'debug'", "0", "1");
    EXPECT_EQ(lines[1], "Error real");
    Append(log, "Error again\n");
    EXPECT_EQ(Check(log, "error", "0", "0", "1")[0], Num(0)) << "case-sensitive";

    std::string longLine = "FATAL " + std::string(4994, 'x');
    Append(log, longLine + "\n");
    lines = Check(log, "fatal");
    EXPECT_EQ(lines[1], longLine.substr(0, 1024)) << "a matched line is cut to 1024 bytes";
}

TEST_F(TextLog, TwoFiltersWildcardsAndMacros) {
    std::string folder = dir.File("logs");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::string older = folder + "/old.log", newer = folder + "/new.log";
    Append(older, "start\n");
    Append(newer, "start\n");
    SetAge(older, 1600000000);
    SetAge(newer, 1700000000);
    std::string macro = folder + "/%NewestFile%";

    Lines lines = Check2(macro, true, "1");
    ASSERT_EQ(lines.size(), 9u) << code;
    EXPECT_EQ(lines[8], newer);
    EXPECT_EQ(Check2(macro, true, "0")[0], "File does not exist") << "no macros, no file";
    EXPECT_EQ(Check2(macro, false, "1")[8], newer) << "switch at 16 without a second filter";

    Append(newer, "only warning here\nerror and warning\nnothing\n");
    lines = Check2(folder + "/n*.log", true);
    EXPECT_EQ(lines, (Lines{Num(6), "only warning here", "1", Num(24), Num(6), Num(1700000000),
                            Num(50), "0", newer}))
        << "the second filter matched; the error line follows";
    lines = Check2(newer, true);
    EXPECT_EQ(lines[1], "error and warning");
    EXPECT_EQ(lines[7], "1");
    lines = Check2(newer, true);
    EXPECT_EQ(lines, (Lines{Num(0), "", "0", Num(50), Num(50), Age(newer), Num(50), "0", newer}))
        << "which-filter is 0 when nothing matched";
}

TEST_F(TextLog, Refusals) {
    Append(log, "some\nlines\n");
    std::string missing = dir.File("missing.log");
    struct Case {
        const char* command;
        Lines params;
        const char* code;
        const char* text;
    } cases[] = {
        {"TEST-TextLog", {missing, "x", "0", "0", "0"}, "301", "File does not exist"},
        {"TEST-TextLog", {dir.File("*.txt"), "x", "0", "0", "0"}, "301", "File does not exist"},
        {"TEST-TextLog", {log, "x", "12a", "0", "0"}, "501", "Wrong parameter"},
        {"TEST-TextLog", {missing, "x", "12a", "0", "0"}, "301", "File does not exist"},
        {"TEST-TextLog", {log, "x", "-4", "3", "0"}, "301", "fseek error"},
        {"TEST-TextLog2", {missing, "0", "0", "x"}, "501", "Wrong parameter"},
        {"TEST-TextLog2", {missing, "0", "0", "0"}, "301", "File does not exist"},
        {"TEST-TextLog2", {dir.path(), "0", "0", "0"}, "301", "File does not exist"},
    };
    for (const Case& c : cases) {
        Lines lines = Call(c.command, c.params, 3);
        EXPECT_EQ(code, c.code) << c.command << " " << c.params[0] << " " << c.params[2];
        EXPECT_EQ(lines, Lines{c.text}) << c.command;
    }
    // Empty state values read as 0: a first check.
    EXPECT_EQ(Call("TEST-TextLog", {log, "x", "", "", ""}, 3)[3], Num(10));
}

// Occurrences of `line` among the lines of `text`.
int LinesEndingWith(const std::string& text, const std::string& line) {
    int count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        if (at + line.size() == text.size() || text[at + line.size()] == '\n') count++;
    return count;
}

// An expression that can match no line is answered as no match; the failure log says why, with
// the peer, once a minute for the same text.
TEST_F(TextLog, ExpressionThatCannotMatchIsLoggedOnceAMinute) {
    Append(log, "error one\n");
    Check(log, "x");
    Append(log, "error two\n");
    Lines lines = Check(log, "'error' and", "0", "1");
    EXPECT_EQ(code, "200");
    EXPECT_EQ(lines[0], Num(0));
    Check(log, "'error' and", "0", "1");
    Lines params = {log, position, lastSize, lastTime, "0", "'a' 'b'", "1", "0",
                    "0", "0",      "",       "",       "",  "",        "0"};
    Call("TEST-TextLog2", params, 3);
    EXPECT_EQ(code, "200");
    // The session writes its note once the reply has gone out.
    const std::string dangling =
        "\t 127.0.0.1\t Text-log expression matches no line (An operator lacks an operand): "
        "'error' and";
    const std::string adjacent =
        "\t 127.0.0.1\t Text-log expression matches no line (Operands without an operator "
        "between them): 'a' 'b'";
    WaitUntil(
        [&] {
            const std::string text = ReadFile(agent.LogFile("log2.txt"));
            return LinesEndingWith(text, dangling) > 0 && LinesEndingWith(text, adjacent) > 0;
        },
        10);
    const std::string failures = ReadFile(agent.LogFile("log2.txt"));
    EXPECT_EQ(LinesEndingWith(failures, dangling), 1) << failures;
    EXPECT_EQ(LinesEndingWith(failures, adjacent), 1) << failures;
}

TEST(TextLogSwitch, OffAnswers600) {
    TempDir dir;
    Agent agent(dir, "textlog=0\n");
    ASSERT_TRUE(agent.Start());
    for (const char* command : {"TEST-TextLog", "TEST-TextLog2"}) {
        QdxReplyText reply = agent.Call(command, {agent.config(), "x"});
        EXPECT_EQ(reply.Code(), "600");
        EXPECT_EQ(reply.Lines(), Lines{"test is not allowed"});
    }
}

}  // namespace
