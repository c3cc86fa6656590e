#include "handlers/textlog_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fileutils/file_facts.h"
#include "foundation/blocking_wait.h"
#include "textlog_reference.h"

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

// A log file in a fresh folder, written and grown by the test.
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdx-textlog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/app.log";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    void Write(const std::string& content, int flags = O_TRUNC) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC | flags, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
    }
    void Append(const std::string& content) { Write(content, O_APPEND); }

    // The state a server keeps between checks, and what the last check answered.
    double position = 0, lastSize = 0, lastTime = 0;
    double value = 0, fileSize = 0;
    std::string line, message;

    double Check(const char* text, int scanToEnd = 0, int useExpression = 0, int caseSensitive = 0,
                 int wholeWord = 0) {
        String matched, why;
        value =
            CheckFileForExpression(path.c_str(), text, position, lastSize, lastTime, useExpression,
                                   scanToEnd, caseSensitive, wholeWord, matched, why, fileSize);
        line = Str(matched);
        message = Str(why);
        return value;
    }
    double Now() const { return static_cast<double>(FileAge(path.c_str())); }

    std::string dir, path;
};

TEST_F(LogFixture, ServerSeesEveryNewMatchOnceAndInOrder) {
    std::string old;
    for (int i = 0; i < 10; i++) {
        std::string text = i == 4 ? "ERROR old" : "line";
        text.resize(99, '.');
        old += text + "\n";
    }
    ASSERT_EQ(old.size(), 1000u);
    Write(old);

    // The first check only marks the end: the old ERROR is never reported.
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 999);
    EXPECT_EQ(lastSize, 1000);
    EXPECT_EQ(lastTime, Now());
    EXPECT_EQ(fileSize, 1000);

    // Unchanged size and time: the file is not read at all, wherever the position points.
    double marked = position;
    position = 0;
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(lastSize, 1000);
    position = marked;

    // One new match: reported at the position before its line plus its place in the line; the
    // state stays right after it, size and time as sent, so the next check reads on.
    Append("a\nERROR x\nb\n");
    EXPECT_EQ(Check("error"), 1003);
    EXPECT_EQ(line, "ERROR x");
    EXPECT_EQ(position, 1010);
    EXPECT_EQ(lastSize, 1000);
    EXPECT_EQ(fileSize, 1012);
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 1012);
    EXPECT_EQ(lastSize, 1012);
    EXPECT_EQ(lastTime, Now());

    // Two new matches come one per check.
    Append("ERROR one\nok\nERROR two\n");
    EXPECT_EQ(Check("error"), 1013);
    EXPECT_EQ(line, "ERROR one");
    EXPECT_EQ(position, 1022);
    EXPECT_EQ(lastSize, 1012);
    EXPECT_EQ(Check("error"), 1026);
    EXPECT_EQ(line, "ERROR two");
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 1035);

    // Scanning to the end reports the last match and takes the state to the end.
    Append("ERROR three\nERROR four\nz\n");
    EXPECT_EQ(Check("error", 1), 1048);
    EXPECT_EQ(line, "ERROR four");
    EXPECT_EQ(position, 1060);
    EXPECT_EQ(lastSize, 1060);

    // An unfinished line waits for its line end.
    Append("ERROR part");
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 1060);
    EXPECT_EQ(lastSize, 1070);
    Append("ial\n");
    EXPECT_EQ(Check("error"), 1061);
    EXPECT_EQ(line, "ERROR partial");
    EXPECT_EQ(position, 1074);
}

TEST_F(LogFixture, CarriageReturnsEndLinesAndBlankLinesAreSkipped) {
    Write("start\n");
    Check("error");
    Append("x\r\n\r\nERROR y\r\n");
    // "\n" "x\r" are one line (3 bytes), "\n\r\n" are skipped into the next one.
    EXPECT_EQ(Check("error"), 9);
    EXPECT_EQ(line, "ERROR y");
    EXPECT_EQ(position, 19);
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 19) << "a trailing line end alone is not a line";
    Append("ERROR z\r\n");
    EXPECT_EQ(Check("error"), 20);
    EXPECT_EQ(line, "ERROR z");
}

TEST_F(LogFixture, TruncatedLogIsReadFromItsStart) {
    Write(std::string(1999, 'x') + "\n");
    Check("error");
    Write("ERROR again\n");
    EXPECT_EQ(Check("error"), 1);
    EXPECT_EQ(line, "ERROR again");
    EXPECT_EQ(position, 12);

    // A position far beyond any file (exact up to 2^53) restarts as well.
    Append("ERROR later\n");
    position = 9007199254740992.0;
    EXPECT_EQ(Check("error"), 1);
}

TEST_F(LogFixture, LogEmptyAtTheFirstCheckIsMarkedOnceItHasContent) {
    Write("");
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, -1);
    EXPECT_EQ(lastSize, 0);
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(lastSize, 0) << "still a first check";
    Append("ERROR first\n");
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, 11);
    EXPECT_EQ(lastSize, 12);
    Append("ERROR second\n");
    EXPECT_EQ(Check("error"), 12);
    EXPECT_EQ(line, "ERROR second");
}

// Lines far longer than the scanner holds are matched over their whole length, in every search
// mode: the only match of each lies at the very end of its line, behind filler that holds near
// misses (other letter case, parts of words). The reported line is its first 1024 bytes, and the
// position counts every byte.
class LongLineFixture : public LogFixture {
protected:
    static constexpr size_t kMiB = 1024 * 1024;
    const std::string tail = " ERROR FATAL disk";
    std::vector<std::string> lines;
    std::vector<int64_t> before;  // the position before each line, then after the last

    // Appends lines of the given sizes (multiples of 128) plus the tail, after a first check.
    void AppendLongLines(std::initializer_list<size_t> sizes) {
        std::string unit = "error diskx xdisk ";
        unit.resize(128, '.');
        Write("start\n");
        Check("x");
        before = {static_cast<int64_t>(position)};
        for (size_t size : sizes) {
            std::string text = unit;
            while (text.size() * 2 <= size) text += text;
            text.append(text, 0, size - text.size());
            text += tail;
            Append(text + "\n");
            before.push_back(before.back() + (lines.empty() ? 1 : 0) + text.size() + 1);
            lines.push_back(std::move(text));
        }
    }

    void ExpectEveryModeFindsTheEnds() {
        const double markedPosition = before[0], markedSize = lastSize, markedTime = lastTime;
        struct Mode {
            const char* text;
            int expression, caseSensitive, wholeWord;
            size_t fromEnd;  // where the match starts, counted from the line's end; 0: expression
        } modes[] = {
            {"ERROR", 0, 1, 0, tail.size() - 1},
            {"fatal", 0, 0, 0, tail.size() - 7},
            {"DISK", 0, 0, 1, 4},
            {"('ERROR' and 'disk') and not 'debug'", 1, 1, 1, 0},
        };
        for (const Mode& mode : modes) {
            position = markedPosition, lastSize = markedSize, lastTime = markedTime;
            for (size_t i = 0; i < lines.size(); i++) {
                double m =
                    mode.fromEnd == 0 ? 1 : static_cast<double>(lines[i].size() - mode.fromEnd + 1);
                ASSERT_EQ(Check(mode.text, 0, mode.expression, mode.caseSensitive, mode.wholeWord),
                          static_cast<double>(before[i]) + m)
                    << mode.text << " in line " << i;
                EXPECT_EQ(line, lines[i].substr(0, 1024));
                EXPECT_EQ(position, static_cast<double>(before[i + 1]));
            }
            EXPECT_EQ(Check(mode.text, 0, mode.expression, mode.caseSensitive, mode.wholeWord), 0);
        }
    }
};

TEST_F(LongLineFixture, MatchesAtTheEndOfLinesOfOneAndTwoMebibytes) {
    AppendLongLines({kMiB, 2 * kMiB});
    ExpectEveryModeFindsTheEnds();

    // A long line still being written waits for its line end, and is then matched whole.
    Append(lines[1]);
    EXPECT_EQ(Check("ERROR", 0, 0, 1), 0);
    EXPECT_EQ(position, static_cast<double>(before[2]));
    Append("\n");
    EXPECT_EQ(Check("ERROR", 0, 0, 1),
              static_cast<double>(before[2] + lines[1].size() - tail.size() + 2));
}

TEST_F(LongLineFixture, MatchesAtTheEndOfA64MebibyteLine) {
    AppendLongLines({64 * kMiB});
    ExpectEveryModeFindsTheEnds();
}

// What the scanner holds does not grow with the line: a 64 MiB line passes through well under a
// mebibyte of buffers, with both letter cases kept and a long whole-word needle.
TEST_F(LogFixture, LongLinesPassThroughBoundedBuffers) {
    std::string line(64 << 20, 'x');
    std::string needle(4000, 'y');
    line.replace(line.size() - needle.size() - 1, needle.size() + 1, " " + needle);
    Write(line + "\n");
    String text(needle.data(), static_cast<int>(needle.size()));
    LogLineFilter filter(text, 0, 0, 1);
    LogLineFilter* filters[] = {&filter};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    LogScanResult result;
    ScanLogLines(fd, static_cast<int64_t>(line.size() + 1), filters, false, LogScanLimits(),
                 result);
    close(fd);
    EXPECT_EQ(result.matchValue, static_cast<int64_t>(line.size() - needle.size() + 1));
    EXPECT_EQ(result.position, static_cast<int64_t>(line.size() + 1));
    EXPECT_EQ(result.line.Length(), 1024);
    EXPECT_GT(result.heldBytes, 0u);
    EXPECT_LT(result.heldBytes, 1u << 20);
}

TEST_F(LogFixture, LogsBeyondFourGibibytesAreFollowed) {
    const int64_t size = 5LL << 30;  // sparse: no disk blocks behind the zeros
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "\n", 1, size - 1), 1);
    close(fd);

    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, static_cast<double>(size - 1));
    Append("ERROR big\nnext\n");
    EXPECT_EQ(Check("error"), static_cast<double>(size));
    EXPECT_EQ(line, "ERROR big");
    EXPECT_EQ(position, static_cast<double>(size + 10));
    EXPECT_EQ(Check("error"), 0);
    EXPECT_EQ(position, static_cast<double>(size + 15));
    EXPECT_EQ(lastSize, static_cast<double>(size + 15));
}

TEST_F(LogFixture, ExpressionsAndWholeWords) {
    Write("start\n");
    Check("x");
    Append("error debug\nerrors real\nError real\n");
    EXPECT_EQ(Check("'error' and not 'debug'", 0, 1, 0, 1), 30 + 1);
    EXPECT_EQ(line, "Error real");
    Append("ok\nbad\n");
    EXPECT_EQ(Check("not 'ok'", 0, 1), 44 + 1);  // every line has to be looked at
    EXPECT_EQ(line, "bad");
    Append("still bad\n");
    EXPECT_EQ(Check("error", 0, 1), 0) << "a refused expression matches nothing";
    EXPECT_EQ(position, 58);
}

TEST_F(LogFixture, Refusals) {
    std::string missing = dir + "/gone/x.log";
    String matched, why;
    double p = 5, s = 10, t = 10, size = 0;
    EXPECT_EQ(CheckFileForExpression(missing.c_str(), "a", p, s, t, 0, 0, 0, 0, matched, why, size),
              -1);
    EXPECT_EQ(Str(why), "File \"x.log\" not found");
    EXPECT_EQ(size, -1);
    EXPECT_EQ(p, 5);
    EXPECT_EQ(CheckFileForExpression(dir.c_str(), "a", p, s, t, 0, 0, 0, 0, matched, why, size), -1)
        << "a folder is no log";

    Write("some\nlines\n");
    position = -4;
    lastSize = 3;
    EXPECT_EQ(Check("a"), -1);
    EXPECT_EQ(message, "fseek error");
    EXPECT_EQ(position, -4);
}

TEST_F(LogFixture, UnreadableLogIsRefusedAfterThreeAttempts) {
    Write("secret\n");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        String matched, why;
        double p = 0, s = 0, t = 0, size = 0;
        double r =
            CheckFileForExpression(path.c_str(), "a", p, s, t, 0, 0, 0, 0, matched, why, size);
        _exit(r == -1 && why == "Cannot open file" && size == 7 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A log opens close-on-exec and non-blocking. Anything but a regular file is refused after three
// attempts with a second's pause after each, every pause marked as a wait outside the agent; a
// terminal tried so by a session leader (as the daemon is) does not become its controlling
// terminal.
int pausesSeen = 0;

TEST_F(LogFixture, LogOpeningRefusesTerminalsAndPausesAsAWait) {
    Write("line\n");
    int fd = OpenLog(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (setsid() < 0 || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(9);
        SetBlockingWaitHooks([] { pausesSeen++; }, [] {});
        auto start = std::chrono::steady_clock::now();
        int opened = OpenLog(ptsname(master));
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        int failures = 0;
        if (opened != -1) failures |= 1;
        if (pausesSeen != 3 || took.count() < 2.9) failures |= 2;
        if (open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC) >= 0) failures |= 4;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: not three pauses of a second, 4: "
                                         "the terminal became the controlling terminal";
}

TEST_F(LogFixture, TwoFiltersReportWhichOneMatched) {
    Write("start\n");
    Check("x");
    Append("only warning here\nerror and warning\nnothing\n");
    TTextLogFilter error{"error", 0, 0, 0};
    TTextLogFilter warning{"'warning'", 1, 0, 1};
    String matched, why;
    double saved = position, savedSize = lastSize, savedTime = lastTime;
    struct Step {
        int useFilter2;
        double value;
        const char* line;
        int which;
    } steps[] = {
        {1, 6, "only warning here", 0},
        {1, 25, "error and warning", 1},
        {1, 0, "", 7},  // nothing matched: left as it was
    };
    for (const Step& step : steps) {
        int which = 7;
        EXPECT_EQ(
            CheckFileForExpression2(path.c_str(), position, lastSize, lastTime, error, warning,
                                    step.useFilter2, 0, which, matched, why, fileSize),
            step.value);
        EXPECT_EQ(Str(matched), step.line);
        EXPECT_EQ(which, step.which);
    }
    position = saved, lastSize = savedSize, lastTime = savedTime;
    int which = 7;
    EXPECT_EQ(CheckFileForExpression2(path.c_str(), position, lastSize, lastTime, error, warning, 0,
                                      0, which, matched, why, fileSize),
              25)
        << "without the second filter the warning line is passed over";
    EXPECT_EQ(which, 1);
}

// The block scanner, with tiny buffers and line bounds, against the plain byte-by-byte reading.
TEST_F(LogFixture, BlockScannerAgreesWithPlainReading) {
    std::mt19937 rng(17);
    const std::string alphabet = "abE e\r\n\n";
    const std::vector<std::string> texts = {
        "a",           "ab",      "E",     "b a",  "'a' and not 'b'",    "not 'e'", "", "x", "e\n",
        "'ab' or 'E'", "'a' 'b'", "a a a", "abab", "'aa' and not 'E e'", "bE e"};
    for (int round = 0; round < 3000; round++) {
        std::string content(rng() % 60, ' ');
        for (char& c : content) c = alphabet[rng() % alphabet.size()];
        unlink(path.c_str());  // rather than truncating, which makes ext4 flush the old data
        Write(content);
        int64_t start = rng() % (content.size() + 1);
        int64_t end = start + rng() % (content.size() - start + 1);
        std::vector<textlogref::Filter> plain;
        for (int n = 1 + rng() % 2; n > 0; n--) {
            textlogref::Filter f{texts[rng() % texts.size()], 0, static_cast<int>(rng() % 2),
                                 static_cast<int>(rng() % 2)};
            f.isExpression = f.text.find('\'') != std::string::npos || f.text == "x";
            plain.push_back(f);
        }
        std::vector<std::unique_ptr<LogLineFilter>> owned;
        std::vector<LogLineFilter*> filters;
        for (const textlogref::Filter& f : plain) {
            String text(f.text.data(), static_cast<int>(f.text.size()));
            owned.push_back(std::make_unique<LogLineFilter>(text, f.isExpression, f.caseSensitive,
                                                            f.wholeWord));
            filters.push_back(owned.back().get());
        }
        bool toEnd = rng() % 2;
        LogScanLimits limits{1 + rng() % 9, 1 + rng() % 12, rng() % 14};

        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(lseek(fd, start, SEEK_SET), start);
        LogScanResult got;
        got.position = start;
        ScanLogLines(fd, end, filters, toEnd, limits, got);
        close(fd);
        textlogref::Result want = textlogref::Scan(content.substr(start, end - start), start, plain,
                                                   toEnd, limits.reportBytes);
        std::string context = "round " + std::to_string(round);
        ASSERT_EQ(got.position, want.position) << context;
        ASSERT_EQ(got.matchValue, want.matchValue) << context;
        ASSERT_EQ(got.filter, want.filter) << context;
        ASSERT_EQ(Str(got.line), want.line) << context;
    }
}

}  // namespace
