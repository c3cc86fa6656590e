// The process, CPU, process-list, external-program and shell-script tests against the running
// agent: fixture scripts, the example scripts, hostile parameters, planted links, and what a
// thousand program runs leave behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "../process_census.h"
#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Script(const TempDir& dir, const std::string& name, const std::string& text) {
    std::string path = dir.File(name);
    WriteFile(path, text);
    chmod(path.c_str(), 0755);
    return path;
}

// Files of the temporary folder that the agent named ("tmp..."), which must all be gone.
std::vector<std::string> TempFilesIn(const TempDir& dir) {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind("tmp", 0) == 0) names.push_back(name);
    }
    return names;
}

int CountEntries(const std::string& folder) {
    int n = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

std::string Value(const QdxReplyText& reply, size_t i) {
    std::vector<std::string> lines = reply.Lines();
    return i < lines.size() ? lines[i] : "<none>";
}

// Fixture scripts: a count script that records its arguments, a list, a CPU figure.
class ProcessTests : public ::testing::Test {
protected:
    void SetUp() override {
        Script(dir, "count.sh",
               "#!/bin/sh\n"
               "printf '[%s]' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n"
               "case \"$1\" in three) echo 3 ;; bad) echo abc ;; fd3) echo 7 >&3 ;;\n"
               "  *) echo \"$#\" ;;\nesac\n"
               "echo 'fd 3 reaches the file too' >&3\n");
        Script(dir, "list.sh", "#!/bin/sh\nprintf 'init\\n\\nsshd\\n\\ncron\\n'\n");
        Script(dir, "cpu.sh", "#!/bin/sh\necho 12.5\n");
        ASSERT_TRUE(agent.Start());
    }
    std::string Args() { return ReadFile(dir.File("args.txt")); }

    TempDir dir;
    Agent agent{dir, "proccntscript=" + dir.File("count.sh") +
                         "\nproclistscript=" + dir.File("list.sh") +
                         "\ncpuusagescript=" + dir.File("cpu.sh") + "\ndelayforscripts=0\n"};
};

TEST_F(ProcessTests, ConfiguredScripts) {
    struct Case {
        std::string command;
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {"TEST-Process", {"", "three"}, "200\n3\n\r"},
        {"TEST-Process", {"ignored", "bad"}, "301\nScript error\n\r"},
        {"TEST-Process", {"", ""}, "501\nName of the process is not specified\n\r"},
        {"TEST-Process", {"", "two words"}, "200\n2\n\r"},
        {"TEST-Process", {"", "fd3"}, "200\n7\n\r"},  // written to descriptor 3 only
        {"GetProcessesList", {}, "200\ninit%0D%0Asshd%0D%0Acron%0D%0A\n\r"},
        {"TEST-CPU", {}, "200\n12.5000\n\r"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(agent.Call(c.command, c.params).text, c.reply) << c.command;
    EXPECT_EQ(TempFilesIn(dir), std::vector<std::string>());
}

// Scripts that cannot be started directly are left to the shell, whose message is their output.
TEST(ProcessScripts, ScriptsTheShellCannotRunEither) {
    TempDir dir;
    WriteFile(dir.File("not-executable.sh"), "#!/bin/sh\necho 1\n");
    chmod(dir.File("not-executable.sh").c_str(), 0644);
    const std::string script = dir.File("not-executable.sh");
    Agent agent(dir, "proccntscript=" + script + "\nproclistscript=" + script + "\n");
    ASSERT_TRUE(agent.Start());
    EXPECT_EQ(agent.Call("TEST-Process", {"", "init"}).text, "301\nScript error\n\r");
    EXPECT_EQ(agent.Call("GetProcessesList").text,
              "200\n/bin/sh: 1: exec: " + script + ": Permission denied%0D%0A\n\r");
}

// With "shellscript" and "external" off, the process test must not run commands of the peer's
// choosing: the name reaches the script as words, never as shell syntax.
TEST_F(ProcessTests, ProcessNameIsDataForTheShell) {
    const std::string owned = dir.File("owned");
    struct Case {
        std::string name;
        std::string args;
    } cases[] = {
        {"x; touch " + owned, "[x;][touch][" + owned + "]"},
        {"$(touch " + owned + ")", "[$(touch][" + owned + ")]"},
        {"`touch " + owned + "`", "[`touch][" + owned + "`]"},
        {"x|touch " + owned, "[x|touch][" + owned + "]"},
        {"x&&touch " + owned + "&", "[x&&touch][" + owned + "&]"},
        {"it's 'quoted' \"too\"", "[it's]['quoted'][\"too\"]"},
        {"a > " + owned, "[a][>][" + owned + "]"},
        {"$HOME *", "[$HOME][*]"},
    };
    for (const Case& c : cases) {
        QdxReplyText reply = agent.Call("TEST-Process", {"", c.name});
        EXPECT_EQ(reply.Code(), "200") << c.name;
        EXPECT_EQ(Args(), c.args) << c.name;
        EXPECT_FALSE(std::filesystem::exists(owned)) << c.name;
    }
}

TEST_F(ProcessTests, ExternalProgram) {
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"true", "", "", "abc"}, "501\nWrong parameter\n\r"},
        {{"", "", "", "1000"}, "501\nCommand line to execute is not specified\n\r"},
        {{"false"}, "200\n1\n\r"},
        {{"sh -c 'exit 3'", "", "", "5000"}, "200\n3\n\r"},
        {{"test -f qdx.cfg", agent.configDir(), "", "5000"}, "200\n0\n\r"},
        {{"test -f qdx.cfg", "/", "", "5000"}, "200\n1\n\r"},
        {{"pwd", dir.File("missing")},
         "301\nexec error: cannot change to the working folder: No such file or directory\n\r"},
        {{"no-such-program-anywhere", "", "", "5000"},
         "301\nexec error: No such file or directory\n\r"},
        {{"sleep 5", "", "", "-2"}, "301\nabnormal termination\n\r"},
        {{"echo > " + dir.File("redirected")}, "200\n0\n\r"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(agent.Call("TEST-ExternalPrg", c.params).text, c.reply) << c.params[0];
    EXPECT_FALSE(std::filesystem::exists(dir.File("redirected"))) << "no shell is involved";

    auto start = Clock::now();
    EXPECT_EQ(agent.Call("TEST-ExternalPrg", {"sleep 0.02", "", "", "8000"}).text, "200\n0\n\r");
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
    start = Clock::now();
    EXPECT_EQ(agent.Call("TEST-ExternalPrg", {"sleep 30", "", "", "-1"}).text, "200\n0\n\r");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(950));
}

TEST_F(ProcessTests, ShellScripts) {
    const std::string abc = "echo a%0Aecho scriptres:Ok%0Aecho b%0A";
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"%script% %params%", abc, "", "5", "2"},
         "200\nscriptres:Ok\na%0D%0Ascriptres:Ok%0D%0A\n\r"},
        {{"%script%", abc, "", "5", "0"}, "200\nscriptres:Ok\n\n\r"},
        {{"%script%", "echo a%0Aecho b%0A", "", "5", "5"}, "200\nb\na%0D%0Ab%0D%0A\n\r"},
        {{"%script%", "echo x%0Aecho SCRIPTRES:Fine%0Aecho scriptres:later", "", "5", "1"},
         "200\nSCRIPTRES:Fine\nx%0D%0A\n\r"},
        {{"%SCRIPT% %Params%", "echo scriptres:$1-$2", "one two", "5", "1"},
         "200\nscriptres:one-two\nscriptres:one-two%0D%0A\n\r"},
        {{"/bin/sh %script%", "echo scriptres:$(tr -d -c '\\r' < \"$0\" | wc -c)%0D%0A", "", "5",
          "1"},
         "200\nscriptres:0\nscriptres:0%0D%0A\n\r"},
        {{"%script%", "#!/bin/sh%0Aecho to stderr >&2", "", "5", "1"},
         "200\nto stderr\nto stderr%0D%0A\n\r"},
        {{"%script%", "sleep 5", "", "-1", "1"},
         "301\nScript execution error: abnormal termination\n\r"},
        {{"", "echo hi", "", "5", "1"},
         "301\nScript execution error: exec error: empty command line\n\r"},
        {{"%script%", "exit 0", "", "5", "1"}, "200\n\n\n\r"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(agent.Call("TEST-ShellScript", c.params).text, c.reply) << c.params[1];

    auto start = Clock::now();
    EXPECT_EQ(
        agent.Call("TEST-ShellScript", {"%script%", "echo scriptres:x; sleep 30", "", "1"}).text,
        "301\nScript execution error: abnormal termination\n\r");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 3);
    EXPECT_EQ(TempFilesIn(dir), std::vector<std::string>()) << "script or output file left";
}

TEST_F(ProcessTests, QdxctlTakesTheScriptFromAFile) {
    std::string script = dir.File("check.sh.txt");
    WriteFile(script, "echo first\r\necho \"scriptres:$1\"\r\n");
    RunResult run = RunProgram(QDXCTL_BINARY,
                               {"-p", std::to_string(agent.port()), "-F", "2=" + script,
                                "TEST-ShellScript", "--start_command", "%script% %params%",
                                "--script_params", "ok", "--timeout_s", "5", "--lines", "5"},
                               20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "200\nresult_line: scriptres:ok\noutput: first,scriptres:ok\n");
}

// The process name is the command's one parameter (line 2): one word fills it.
TEST_F(ProcessTests, QdxctlFillsTheProcessNameFromOneWord) {
    RunResult run = RunProgram(QDXCTL_BINARY, {"-p", std::to_string(agent.port()), "TEST-Process",
                                               "three"},
                               20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "200\ncount: 3\n");
}

// A name planted in the temporary folder (here: links at every name the agent is about to use)
// is never followed; the agent takes other names and answers as usual.
TEST(ProcessTestsPlanted, LinksInTheTemporaryFolderAreNotFollowed) {
    TempDir dir;
    Script(dir, "count.sh", "#!/bin/sh\necho 4\n");
    Agent agent(dir, "proccntscript=" + dir.File("count.sh") + "\ndelayforscripts=0\n");
    ASSERT_TRUE(agent.Start());
    const std::string victim = dir.File("victim");
    const uint32_t base = static_cast<uint32_t>(agent.pid()) << 16;
    // The process test takes identifiers 1 to 41 (40 taken names), the script file of the
    // shell-script test the next ones, with the counter from 2 on.
    auto id = [&](uint32_t k) { return std::to_string(static_cast<int32_t>(base + k)); };
    for (uint32_t k = 1; k <= 40; k++)
        symlink(victim.c_str(), dir.File("tmpPqdx-" + id(k) + ".txt").c_str());
    for (uint32_t k = 42; k <= 80; k++)
        for (int n = 2; n <= 45; n++)
            symlink(victim.c_str(), dir.File("tmp-" + id(k) + "-" + std::to_string(n)).c_str());
    const size_t planted = TempFilesIn(dir).size();
    EXPECT_EQ(agent.Call("TEST-Process", {"", "sshd"}).text, "200\n4\n\r");
    EXPECT_EQ(agent.Call("TEST-ShellScript", {"%script%", "echo scriptres:ok", "", "5", "1"}).text,
              "200\nscriptres:ok\nscriptres:ok%0D%0A\n\r");
    EXPECT_FALSE(std::filesystem::exists(victim));
    EXPECT_EQ(TempFilesIn(dir).size(), planted) << "the links stay, nothing else is left";
}

// The example scripts as the README's run configuration uses them.
TEST(ProcessTestsExamples, ExampleScriptsAnswer) {
    TempDir dir;
    const std::string scripts = std::string(QDX_SOURCE_DIR) + "/examples/scripts/";
    Agent agent(dir, "proccntscript=" + scripts + "proccount.sh\nproclistscript=" + scripts +
                         "proclist.sh\ncpuusagescript=" + scripts + "cpuusage.sh\n");
    ASSERT_TRUE(agent.Start());
    QdxReplyText count = agent.Call("TEST-Process", {"", "qdx"});
    EXPECT_EQ(count.Code(), "200") << count.text;
    EXPECT_GE(std::atoi(Value(count, 0).c_str()), 1) << count.text;
    EXPECT_EQ(agent.Call("TEST-Process", {"", "no-such-process-name"}).text, "200\n0\n\r");
    QdxReplyText list = agent.Call("GetProcessesList");
    EXPECT_EQ(list.Code(), "200");
    EXPECT_NE(("%0A" + Value(list, 0)).find("%0Aqdx%0D%0A"), std::string::npos) << list.text;
    QdxReplyText cpu = agent.Call("TEST-CPU");
    EXPECT_EQ(cpu.Code(), "200") << cpu.text;
    double usage = std::atof(Value(cpu, 0).c_str());
    EXPECT_GE(usage, 0.0);
    EXPECT_LE(usage, 100.0);
}

// Processes named `name`, as the process table shows them.
int DirectCount(const std::string& name) {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string comm = ReadFile(entry.path().string() + "/comm");
        if (!comm.empty() && comm.substr(0, comm.size() - 1) == name) count++;
    }
    return count;
}

// The shipped count script counts exactly: the agent's shell that starts it is not among the
// processes it sees, and a name reaches it unchanged.
TEST(ProcessTestsExamples, CountIsExact) {
    TempDir dir;
    Agent agent(
        dir, "proccntscript=" + std::string(QDX_SOURCE_DIR) + "/examples/scripts/proccount.sh\n");
    ASSERT_TRUE(agent.Start());
    // A backslash in the name as well: awk's -v would read "\t" as a tab.
    const std::string name = "qdx\\tcnt" + std::to_string(getpid() % 100000);
    const std::string program = dir.File(name);
    std::filesystem::copy_file("/bin/sleep", program);
    std::vector<pid_t> copies;
    for (int i = 0; i < 3; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            execl(program.c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        copies.push_back(pid);
    }
    EXPECT_TRUE(WaitUntil([&] { return DirectCount(name) == 3; }, 5));
    EXPECT_EQ(agent.Call("TEST-Process", {"", name}).text, "200\n3\n\r");
    for (pid_t pid : copies) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(agent.Call("TEST-Process", {"", name}).text, "200\n0\n\r");

    // Shells come and go on a busy host: a count that equals the direct counts taken just before
    // and after it is exact. Counting the agent's own shell makes it one more every time.
    int agreed = 0;
    for (int attempt = 0; attempt < 20 && agreed == 0; attempt++) {
        int before = DirectCount("sh");
        QdxReplyText reply = agent.Call("TEST-Process", {"", "sh"});
        int after = DirectCount("sh");
        if (before == after && reply.text == "200\n" + std::to_string(before) + "\n\r") agreed++;
    }
    EXPECT_EQ(agreed, 1) << "the count for sh never matched a direct count";
}

// Every name is counted exactly by the shipped count script, which gets it unchanged from the
// agent: runs of blanks, blanks at either end, a tab, names of 15 and 16 bytes (the kernel keeps
// 15), and names in UTF-8. The processes are named with prctl, as the kernel shows them.
TEST(ProcessTestsExamples, CountsEveryNameExactly) {
    if (access("/proc/self/comm", R_OK) != 0) GTEST_SKIP() << "needs /proc/<pid>/comm";
    TempDir dir;
    Agent agent(
        dir, "proccntscript=" + std::string(QDX_SOURCE_DIR) + "/examples/scripts/proccount.sh\n");
    ASSERT_TRUE(agent.Start());
    const std::vector<std::pair<std::string, int>> running = {
        {"qa  b", 2},
        {"qa b", 1},
        {" qlead", 1},
        {"qtrail ", 1},
        {"qt\tb", 1},
        {"q15-abcdefghijk", 1},   // 15 bytes
        {"q16-abcdefghijkl", 1},  // 16 bytes: the kernel keeps "q16-abcdefghijk"
        {"\xE5\x90\x8D\xE5\x89\x8D", 2},
        {"qcaf\xC3\xA9", 1},
    };
    std::vector<pid_t> children;
    for (const auto& [name, copies] : running)
        for (int i = 0; i < copies; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
                for (;;) pause();
            }
            children.push_back(pid);
        }
    const std::vector<std::pair<std::string, int>> expected = {
        {"qa  b", 2},
        {"qa b", 1},
        {" qlead", 1},
        {"qlead", 0},
        {"qtrail ", 1},
        {"qtrail", 0},
        {"qt\tb", 1},
        {"qt b", 0},
        {"q15-abcdefghijk", 1},
        {"q16-abcdefghijkl", 1},
        {"\xE5\x90\x8D\xE5\x89\x8D", 2},
        {"\xE5\x90\x8D", 0},
        {"qcaf\xC3\xA9", 1},
        {"qcaf", 0},
    };
    EXPECT_TRUE(WaitUntil(
        [&] { return DirectCount("qa  b") == 2 && DirectCount("qcaf\xC3\xA9") == 1; }, 5));
    for (const auto& [name, count] : expected)
        EXPECT_EQ(agent.Call("TEST-Process", {"", name}).text,
                  "200\n" + std::to_string(count) + "\n\r")
            << "[" << name << "]";
    for (pid_t pid : children) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Names of temporary files can be foreseen by whoever may write to the folder: the agent says so
// when it starts with such a folder.
TEST(ProcessTestsExamples, SharedTemporaryFolderIsWarnedOf) {
    TempDir dir;
    const std::string shared = dir.File("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string warning = "Warning: temporary folder '" + shared +
                                "' is writable by other users; set \"tmpdir\" to a folder of the "
                                "agent's own\n";
    Agent open(dir, "tmpdir=" + shared + "\n");
    ASSERT_TRUE(open.Start());
    EXPECT_NE(open.Output().find(warning), std::string::npos) << open.Output();
    TempDir own;
    Agent closed(own);
    ASSERT_TRUE(closed.Start());
    EXPECT_EQ(closed.Output().find("Warning: temporary folder"), std::string::npos);
}

// A thousand program and script requests, eight at a time, while other sessions keep the agent's
// allocator busy: afterwards no zombie, no extra descriptor or thread, no temporary file.
TEST(ProcessTestsLoad, ThousandRunsLeaveNothingBehind) {
    if (access("/proc/self/fd", R_OK) != 0) GTEST_SKIP() << "needs /proc";
    TempDir dir;
    Script(dir, "count.sh", "#!/bin/sh\necho 2\n");
    Script(dir, "list.sh", "#!/bin/sh\necho init\n");
    Script(dir, "cpu.sh", "#!/bin/sh\necho 1.5\n");
    Agent agent(
        dir, "proccntscript=" + dir.File("count.sh") + "\nproclistscript=" + dir.File("list.sh") +
                 "\ncpuusagescript=" + dir.File("cpu.sh") + "\ndelayforscripts=0\nlogfails=0\n");
    ASSERT_TRUE(agent.Start());
    const std::string fdDir = "/proc/" + std::to_string(agent.pid()) + "/fd";
    const std::string taskDir = "/proc/" + std::to_string(agent.pid()) + "/task";
    ASSERT_EQ(agent.Call("GetInfo").Code(), "200");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its session thread ends
    const int fdsBefore = CountEntries(fdDir);
    const int threadsBefore = CountEntries(taskDir);

    struct Request {
        const char* command;
        std::vector<std::string> params;
        const char* code;
    };
    const Request mix[] = {
        {"TEST-ExternalPrg", {"true", "", "", "5000"}, "200"},
        {"TEST-ExternalPrg", {"no-such-program-anywhere", "", "", "5000"}, "301"},
        {"TEST-ShellScript", {"%script%", "echo scriptres:ok", "", "5", "1"}, "200"},
        {"TEST-Process", {"", "sshd"}, "200"},
        {"GetProcessesList", {}, "200"},
        {"TEST-CPU", {}, "200"},
        {"TEST-ExternalPrg", {"sleep 0.3", "", "", "100"}, "301"},
    };
    constexpr int kRequests = 1000;
    std::atomic<int> next{0}, wrong{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; w++)
        workers.emplace_back([&] {
            for (int i; (i = next++) < kRequests;) {
                const Request& r = mix[i % (sizeof mix / sizeof mix[0])];
                QdxReplyText reply = agent.Call(r.command, r.params);
                if (reply.Code() != r.code && wrong++ < 3)
                    ADD_FAILURE() << r.command << " " << (r.params.empty() ? "" : r.params[0])
                                  << ": " << reply.text << reply.error;
            }
        });
    std::thread busy([&] {
        while (!stop) agent.Call("GetSettings");
    });
    // Start-only programs that outlive their request: reaped when they end.
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(agent.Call("TEST-ExternalPrg", {"sleep 1.5", "", "", "-1"}).Code(), "200");
    for (std::thread& t : workers) t.join();
    stop = true;
    busy.join();
    EXPECT_EQ(wrong, 0);

    // Watcher threads end once their program has ended and been reaped.
    EXPECT_TRUE(WaitUntil([&] { return CountEntries(taskDir) <= threadsBefore; }, 10))
        << CountEntries(taskDir) << " threads, " << threadsBefore << " before";
    EXPECT_EQ(testing_support::ZombieChildren(agent.pid()), 0);
    EXPECT_TRUE(WaitUntil([&] { return CountEntries(fdDir) <= fdsBefore; }, 5))
        << CountEntries(fdDir) << " descriptors, " << fdsBefore << " before";
    EXPECT_EQ(TempFilesIn(dir), std::vector<std::string>());
    EXPECT_TRUE(agent.Running());
}

}  // namespace
