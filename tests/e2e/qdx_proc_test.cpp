// qdx-proc, the program the agent ships as its process-count, process-list and CPU-usage script:
// run directly against sleeping processes that the test names itself, next to the shipped count
// script on the same processes, and through the running agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../process_census.h"
#include "harness.h"

namespace {

const std::string kHelper = QDX_PROC_BINARY;
const std::string kCountScript = std::string(QDX_SOURCE_DIR) + "/examples/scripts/proccount.sh";
constexpr size_t kKernelNameLimit = 15;

// A prefix that makes the names of this run's processes its own.
std::string RunTag() {
    char tag[8];
    std::snprintf(tag, sizeof tag, "qp%04x", static_cast<unsigned>(getpid()) & 0xffff);
    return tag;
}

// A name as the process list shows it: cut where the kernel cuts it, control bytes as '?'.
std::string Listed(const std::string& name) {
    std::string shown = name.substr(0, kKernelNameLimit);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return shown;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Sleeping processes under names of the test's choosing, killed with the object.
class NamedProcesses {
public:
    NamedProcesses() = default;
    NamedProcesses(const NamedProcesses&) = delete;
    NamedProcesses& operator=(const NamedProcesses&) = delete;
    ~NamedProcesses() {
        for (auto& started : started_) kill(started.first, SIGKILL);
        for (auto& started : started_) waitpid(started.first, nullptr, 0);
    }

    // Starts `copies` processes named `name` (the kernel keeps its first 15 bytes); false unless
    // the process table then shows that many under the name.
    bool Start(const std::string& name, int copies) {
        for (int i = 0; i < copies; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                prctl(PR_SET_NAME, name.c_str());
                for (;;) pause();
            }
            if (pid < 0) return false;
            started_.emplace_back(pid, name);
        }
        const std::string kept = name.substr(0, kKernelNameLimit);
        return WaitUntil([&] { return testing_support::ProcessesNamed(kept) == copies; }, 5);
    }

    // The names started, as the process list shows them, in process-ID order.
    std::vector<std::string> ListedByPid() const {
        auto byPid = started_;
        std::sort(byPid.begin(), byPid.end());
        std::vector<std::string> names;
        for (auto& started : byPid) names.push_back(Listed(started.second));
        return names;
    }

private:
    std::vector<std::pair<pid_t, std::string>> started_;
};

// Processes named to tell apart what a loose comparison would mix up: a name with one blank from
// one with two, a leading or trailing blank from none, a tab from a blank, a high byte from the
// '?' that ps shows for it. Each pair differs in its count.
class QdxProc : public ::testing::Test {
protected:
    void SetUp() override {
        // One pair a line: names that a loose comparison would take for each other.
        // clang-format off
        const std::pair<std::string, int> fixture[] = {
            {T + "plain", 2},
            {fifteen, 1},           {sixteen, 1},
            {T + "  two", 1},       {T + " two", 2},
            {" " + T + "lead", 1},  {T + "lead", 2},
            {T + "trail ", 1},      {T + "trail", 2},
            {T + "\ttab", 1},       {T + " tab", 2},
            {T + "\xc3\xa9t\xc3\xa9", 1}, {T + "\xff", 2},
            {T + "\nfake", 1},
            {self, 1},
        };
        // clang-format on
        for (auto& [name, copies] : fixture) ASSERT_TRUE(processes.Start(name, copies)) << name;
        ASSERT_EQ(symlink(kHelper.c_str(), dir.File(self).c_str()), 0);
    }

    RunResult Helper(const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}) {
        return RunProgram(kHelper.c_str(), args, 20, env);
    }

    const std::string T = RunTag();
    const std::string fifteen = (T + "-fifteen-bytes").substr(0, 15);
    const std::string sixteen = (T + "=sixteen-bytes").substr(0, 16);
    // The name of a fixture process and of a link to the helper, which must not count itself.
    const std::string self = T + "self";
    TempDir dir;
    NamedProcesses processes;
};

TEST_F(QdxProc, CountsProcessesByTheirExactName) {
    struct Query {
        std::string name;
        int count;
    } queries[] = {
        {T + "plain", 2},
        {T + "plai", 0},
        {fifteen, 1},
        {fifteen.substr(0, 14), 0},
        {sixteen, 1},  // the kernel kept its first 15 bytes
        {sixteen.substr(0, 15), 1},
        {sixteen + "-and-more", 1},
        {T + "  two", 1},
        {T + " two", 2},
        {T + "   two", 0},
        {" " + T + "lead", 1},
        {T + "lead", 2},
        {T + "trail ", 1},
        {T + "trail", 2},
        {T + "\ttab", 1},
        {T + " tab", 2},
        {T + "?tab", 0},
        {T + "\xc3\xa9t\xc3\xa9", 1},
        {T + "\xff", 2},
        {T + "?", 0},
        {self, 1},
    };
    const std::string countByName = std::filesystem::canonical(kHelper + "-count").string();
    for (const Query& q : queries) {
        const std::string expected = std::to_string(q.count) + "\n";
        const std::string variable = "QDX_PROCESS_NAME=" + q.name;
        // The variable carries the name exactly, and wins over any arguments.
        RunResult run = Helper({"count", "not", "this"}, {variable});
        EXPECT_EQ(run.out, expected) << "'" << q.name << "': " << run.err;
        EXPECT_EQ(run.exitCode, 0) << q.name;
        // As one argument, through the mode's own name, which a canonical path keeps.
        EXPECT_EQ(RunProgram(countByName.c_str(), {q.name}).out, expected) << q.name;
        // Started under the name it counts, it leaves itself out.
        EXPECT_EQ(RunProgram(dir.File(self).c_str(), {"count", q.name}).out, expected) << q.name;
        // The shipped count script, given the name in the variable, counts the same.
        EXPECT_EQ(RunProgram(kCountScript.c_str(), {q.name}, 20, {variable}).out, expected)
            << "script: " << q.name;
    }
    // Words that a shell split the name into are joined with single blanks.
    EXPECT_EQ(Helper({"count", T, "two"}).out, "2\n");
}

TEST_F(QdxProc, ListsEveryProcessOnceInProcessIdOrder) {
    RunResult run = RunProgram(dir.File(self).c_str(), {"list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    EXPECT_GT(lines.size(), 20u);
    // A name with a line feed in it is one line, and forges none.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "fake"), 0);
    std::vector<std::string> expected = processes.ListedByPid();
    std::vector<std::string> listed;
    for (const std::string& line : lines)
        if (std::find(expected.begin(), expected.end(), line) != expected.end())
            listed.push_back(line);
    // The helper, started under a fixture's name, is not among them.
    EXPECT_EQ(listed, expected);
}

// What a mistaken command line or a missing process table gives: a reason, never a figure.
TEST_F(QdxProc, RefusesWithoutAFigure) {
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::vector<std::string> env;
    } cases[] = {
        {kHelper, {}, {}},
        {kHelper, {"frobnicate"}, {}},
        {kHelper, {"list", "extra"}, {}},
        {kHelper, {"count"}, {}},
        {kHelper, {"count", "sh"}, {"QDX_PROCESS_NAME="}},
        {kHelper, {"cpu", "0"}, {}},
        {kHelper, {"cpu", "-1"}, {}},
        {kHelper, {"cpu", "61"}, {}},
        {kHelper, {"cpu", "0.2s"}, {}},
        {kHelper, {"cpu", "nan"}, {}},
        {kHelper, {"cpu", "0.1", "0.1"}, {}},
        {kHelper + "-cpu", {"abc"}, {}},
        {dir.File("qdx-proc-bogus"), {"count", "sh"}, {}},
    };
    ASSERT_EQ(symlink(kHelper.c_str(), dir.File("qdx-proc-bogus").c_str()), 0);
    for (const Case& c : cases) {
        RunResult run = RunProgram(c.program.c_str(), c.args, 20, c.env);
        std::string what = c.program + (c.args.empty() ? "" : " " + c.args[0]);
        EXPECT_EQ(run.exitCode, 2) << what;
        EXPECT_EQ(run.out, "") << what;
        EXPECT_NE(run.err.find("usage: "), std::string::npos) << what << ": " << run.err;
    }
}

// An empty folder in place of /proc (in a mount namespace of its own) is no process table: the
// helper says so instead of counting nothing.
TEST(QdxProcWithoutProc, NoProcessTableGivesNoFigure) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime needs /proc to start";
#endif
    for (std::vector<std::string> mode : {std::vector<std::string>{"count", "sh"}, {"cpu"}}) {
        std::vector<std::string> args = {
            "-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"", "sh", kHelper};
        args.insert(args.end(), mode.begin(), mode.end());
        RunResult run = RunProgram("/usr/bin/unshare", args);
        if (run.err.find("unshare:") != std::string::npos || run.err.find("mount:") == 0)
            GTEST_SKIP() << "no mount namespace to be had: " << run.err;
        EXPECT_EQ(run.exitCode, 1) << mode[0] << ": " << run.err;
        EXPECT_EQ(run.out, "") << mode[0];
        EXPECT_NE(run.err.find("qdx-proc: cannot read the pro"), std::string::npos) << run.err;
    }
}

double Percent(const std::string& text) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && std::string(end) == "\n" ? value : -1;
}

// The figure is the busy share of every processor together: 0 to 100 with one decimal, near the
// shipped script's over the same half second, and at least half with every processor kept busy.
TEST(QdxProcCpu, BusyShareOfAllProcessors) {
    RunResult script;
    std::thread alongside([&] {
        script =
            RunProgram((std::string(QDX_SOURCE_DIR) + "/examples/scripts/cpuusage.sh").c_str(), {});
    });
    RunResult ours = RunProgram((kHelper + "-cpu").c_str(), {});
    alongside.join();
    EXPECT_EQ(ours.exitCode, 0) << ours.err;
    EXPECT_GE(Percent(ours.out), 0) << ours.out;
    EXPECT_LE(Percent(ours.out), 100) << ours.out;
    EXPECT_EQ(ours.out.find('.'), ours.out.size() - 3) << ours.out;
    EXPECT_NEAR(Percent(ours.out), Percent(script.out), 15) << ours.out << script.out;

    std::vector<pid_t> spinners;
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); i++) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            volatile unsigned long spins = 0;
            for (;;) spins = spins + 1;
        }
        spinners.push_back(pid);
    }
    RunResult busy = RunProgram(kHelper.c_str(), {"cpu", "0.3"});
    for (pid_t pid : spinners) kill(pid, SIGKILL);
    for (pid_t pid : spinners) waitpid(pid, nullptr, 0);
    EXPECT_GE(Percent(busy.out), 50) << busy.out << busy.err;
    EXPECT_LE(Percent(busy.out), 100) << busy.out;
}

// The agent with the helper as its three programs; the name reaches it exactly, blanks, tabs and
// high bytes included.
TEST_F(QdxProc, AgentRunsTheHelper) {
    Agent agent(dir, "proccntscript=" + kHelper + "-count\nproclistscript=" + kHelper +
                         "-list\ncpuusagescript=" + kHelper + "-cpu\ndelayforscripts=0\n");
    ASSERT_TRUE(agent.Start());
    const std::pair<std::string, int> counts[] = {
        {T + "plain", 2},      {T + " two", 2},     {fifteen, 1},      {sixteen, 1},
        {T + "plai", 0},       {T + "  two", 1},    {" " + T + "lead", 1}, {T + "trail ", 1},
        {T + "\ttab", 1},      {T + "\xff", 2},
    };
    for (auto& [name, count] : counts)
        EXPECT_EQ(agent.Call("TEST-Process", {"", name}).text,
                  "200\n" + std::to_string(count) + "\n\r")
            << name;

    QdxReplyText list = agent.Call("GetProcessesList");
    ASSERT_EQ(list.Code(), "200") << list.text;
    const std::string entries = "%0D%0A" + list.Lines().at(0);
    auto occurrences = [&](const std::string& name) {
        const std::string entry = "%0D%0A" + name + "%0D%0A";
        int n = 0;
        for (size_t at = entries.find(entry); at != std::string::npos;
             at = entries.find(entry, at + 1))
            n++;
        return n;
    };
    EXPECT_EQ(occurrences(T + "plain"), 2);
    EXPECT_EQ(occurrences(T + "?fake"), 1);
    EXPECT_GE(occurrences("qdx"), 1) << "the agent itself";

    QdxReplyText cpu = agent.Call("TEST-CPU");
    ASSERT_EQ(cpu.Code(), "200") << cpu.text;
    double usage = std::atof(cpu.Lines().at(0).c_str());
    EXPECT_GE(usage, 0.0);
    EXPECT_LE(usage, 100.0);
}

}  // namespace
