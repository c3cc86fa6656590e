#include "fileutils/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fileutils/child_start.h"
#include "fileutils/tempname.h"
#include "process_census.h"

using testing_support::ZombieChildren;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> Split(const char* line) {
    TCommandArgs args;
    int argc = SplitCommandLine(line, args);
    std::vector<std::string> words;
    for (int i = 0; i < argc; i++) words.emplace_back(args.argv[i]);
    EXPECT_EQ(args.argv[argc], nullptr);
    return words;
}

TEST(SplitCommandLine, Table) {
    std::string many;
    for (int i = 1; i <= 30; i++) many += "a" + std::to_string(i) + " ";
    std::vector<std::string> first23;
    for (int i = 1; i <= 23; i++) first23.push_back("a" + std::to_string(i));
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"prog \"a b\" 'c'd e", {"prog", "a b", "c", "d", "e"}},
        {"prog 'rest of \"the line", {"prog", "rest of \"the line"}},
        {"echo hi > /tmp/out | wc $HOME *",
         {"echo", "hi", ">", "/tmp/out", "|", "wc", "$HOME", "*"}},
        {"\t prog\t\targ  ", {"prog", "arg"}},
        {"pl\"ain it's", {"pl\"ain", "it's"}},
        {"'' \"\" x", {"", "", "x"}},
        {"\"a\"\"b\"", {"a", "b"}},
        {"", {}},
        {" \t ", {}},
        {many.c_str(), first23},
    };
    for (const Case& c : cases) EXPECT_EQ(Split(c.line), c.words) << c.line;
    EXPECT_TRUE(Split(nullptr).empty());
}

TEST(SplitCommandLine, TextAreaOf1024BytesEndsTheSplitting) {
    std::string a(600, 'a'), b(422, 'b'), c(423, 'c');
    // 601 + 424 = 1025 bytes with terminators: the second argument no longer fits.
    EXPECT_EQ(Split((a + " " + c + " x").c_str()), std::vector<std::string>({a}));
    // 601 + 423 = 1024 bytes fill the area; nothing fits after them.
    EXPECT_EQ(Split((a + " " + b + " x").c_str()), std::vector<std::string>({a, b}));
    std::string huge(5000, 'h');
    EXPECT_TRUE(Split(huge.c_str()).empty());
}

// A fresh folder for output files and scripts.
class Process : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdx-process-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        out = dir + "/out.txt";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string Script(const std::string& name, const std::string& text, mode_t mode = 0755) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }
    struct Run {
        int result;
        int exitcode;
        std::string message;
        double seconds;
    };
    Run Ex(const std::string& cmdline, int timeout = 5000, const char* workdir = nullptr,
           const char* tmpdir = nullptr) {
        Run run{};
        run.exitcode = -12345;
        String message = "stale";
        auto start = Clock::now();
        run.result = SystemEx2(cmdline.c_str(), workdir, nullptr, out.c_str(), out.c_str(), timeout,
                               run.exitcode, message, tmpdir);
        run.seconds = SecondsSince(start);
        run.message = message.Data() ? std::string(message.Data(), message.Length()) : "";
        return run;
    }
    std::string dir, out;
};

// True while `pid` runs (a zombie counts as ended).
bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return kill(pid, 0) == 0;
    size_t close = line.rfind(')');
    return close != std::string::npos && line[close + 2] != 'Z';
}

bool WaitFor(const std::function<bool()>& done, double seconds) {
    auto start = Clock::now();
    while (!done()) {
        if (SecondsSince(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The tests of the start run with both ways of starting a child: posix_spawn, where the system has
// every step it needs, and fork, which the other systems use.
class ProcessStart : public Process, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        Process::SetUp();
        ForceForkStartForTesting(GetParam());
    }
    void TearDown() override {
        ForceForkStartForTesting(false);
        Process::TearDown();
    }
};
INSTANTIATE_TEST_SUITE_P(Start, ProcessStart, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Fork" : "Spawn";
                         });

TEST_P(ProcessStart, ExitCodesAndStartFailures) {
    std::string noexec = Script("noexec.sh", "#!/bin/sh\nexit 0\n", 0644);
    std::string bare = Script("bare.sh", "echo bare; exit 4\n");  // no "#!": run by /bin/sh
    struct Case {
        std::string cmdline;
        int result;
        int exitcode;
        std::string message;
    } cases[] = {
        {"true", 1, 0, ""},
        {"false", 1, 1, ""},
        {"sh -c 'exit 3'", 1, 3, ""},
        {"sh -c 'exit 255'", 1, 255, ""},  // exits 255 itself: a normal end
        {bare, 1, 4, ""},
        {dir + "/missing-program", 0, -12345, "exec error: No such file or directory"},
        {"no-such-program-anywhere", 0, -12345, "exec error: No such file or directory"},
        {noexec, 0, -12345, "exec error: Permission denied"},
        {dir, 0, -12345, "exec error: Permission denied"},
        {"''", 0, -12345, "exec error: No such file or directory"},
        {"", 0, -12345, "exec error: empty command line"},
        {" \t ", 0, -12345, "exec error: empty command line"},
    };
    for (const Case& c : cases) {
        Run run = Ex(c.cmdline, 5000, nullptr, dir.c_str());
        EXPECT_EQ(run.result, c.result) << c.cmdline;
        EXPECT_EQ(run.exitcode, c.exitcode) << c.cmdline;
        EXPECT_EQ(run.message, c.message) << c.cmdline;
    }
    EXPECT_EQ(Ex(bare).exitcode, 4);
    EXPECT_EQ(Read(out), "bare\n");
    std::filesystem::remove(out);
    // No marker or other file is left in the temporary folder.
    std::vector<std::string> left;
    for (auto& entry : std::filesystem::directory_iterator(dir))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"bare.sh", "noexec.sh"}));
}

TEST_P(ProcessStart, StreamsWorkingFolderAndEnvironment) {
    std::string input = Script("input.txt", "from the input file\n", 0644);
    int exitcode = 0;
    String message;
    ASSERT_EQ(SystemEx2("sh -c 'cat; echo out; echo err >&2; echo out2'", nullptr, input.c_str(),
                        out.c_str(), out.c_str(), 5000, exitcode, message),
              1);
    EXPECT_EQ(Read(out), "from the input file\nout\nerr\nout2\n")
        << "both streams write into one file without overwriting each other";

    Run pwd = Ex("pwd", 5000, dir.c_str());
    EXPECT_EQ(pwd.result, 1);
    EXPECT_EQ(Read(out), std::filesystem::canonical(dir).string() + "\n");
    Run nowhere = Ex("pwd", 5000, (dir + "/missing").c_str());
    EXPECT_EQ(nowhere.result, 0) << "never run in another folder than the one asked for";
    EXPECT_EQ(nowhere.message,
              "exec error: cannot change to the working folder: No such file or directory");
    Run file = Ex("pwd", 5000, out.c_str());
    EXPECT_EQ(file.message, "exec error: cannot change to the working folder: Not a directory");

    setenv("QDX_PROCESS_TEST", "inherited", 1);
    const char* before = std::getenv("TMPDIR");
    std::string saved = before ? before : "";
    Run env = Ex("sh -c 'echo $TMPDIR $QDX_PROCESS_TEST'", 5000, nullptr, dir.c_str());
    EXPECT_EQ(env.result, 1);
    EXPECT_EQ(Read(out), dir + " inherited\n");
    const char* after = std::getenv("TMPDIR");
    EXPECT_EQ(after ? std::string(after) : "", saved) << "the agent's environment is not changed";
    unsetenv("QDX_PROCESS_TEST");

    // A planted link at the output path is not followed.
    std::string victim = dir + "/victim";
    std::string link = dir + "/link";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_EQ(SystemEx2("echo x", nullptr, nullptr, link.c_str(), nullptr, 5000, exitcode, message),
              0);
    EXPECT_FALSE(std::filesystem::exists(victim));
}

TEST_P(ProcessStart, ChildStartsCleanDescriptorsAndSignals) {
    if (access("/proc/self/status", R_OK) != 0) GTEST_SKIP() << "needs /proc";
    int leaked = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    ASSERT_GE(leaked, 0);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);

    // grep reads its own /proc entry; ls that of the shell.
    Run status = Ex("sh -c 'exec grep -E \"^Sig(Ign|Blk)\" /proc/$$/status'");
    std::string signals = Read(out);
    Run fds = Ex("sh -c 'ls /proc/$$/fd'");
    std::string descriptors = Read(out);

    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sigaction(SIGPIPE, &previous, nullptr);
    close(leaked);
    EXPECT_EQ(status.result, 1);
    EXPECT_NE(signals.find("SigBlk:\t0000000000000000"), std::string::npos) << signals;
    EXPECT_NE(signals.find("SigIgn:\t0000000000000000"), std::string::npos) << signals;
    EXPECT_EQ(fds.result, 1);
    EXPECT_EQ(descriptors, "0\n1\n2\n") << "only the three standard streams are open";
}

TEST_F(Process, WaitModes) {
    // Answered as soon as the program ends, not at a one-second look.
    Run quick = Ex("sleep 0.01", 10000);
    EXPECT_EQ(quick.result, 1);
    EXPECT_LT(quick.seconds, 0.9);

    Run unlimited = Ex("sleep 0.3", kNoLimit);
    EXPECT_EQ(unlimited.result, 1);
    EXPECT_EQ(unlimited.exitcode, 0);
    EXPECT_GE(unlimited.seconds, 0.3);

    Run negative = Ex("sleep 5", -5);
    EXPECT_EQ(negative.result, 0);
    EXPECT_EQ(negative.message, "abnormal termination");
    EXPECT_LT(negative.seconds, 1.0);

    Run crash = Ex("sh -c 'kill -SEGV $$'");
    EXPECT_EQ(crash.result, 0);
    EXPECT_EQ(crash.message, "abnormal termination");
}

TEST_F(Process, LimitKillsTheWholeProcessGroup) {
    std::string pidfile = dir + "/background.pid";
    std::string late = dir + "/late";
    // The script leaves a grandchild that would write a file after the limit.
    std::string line =
        "sh -c '(sleep 2; touch " + late + ") & echo $! > " + pidfile + "; sleep 60'";
    Run run = Ex(line, 300);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.message, "abnormal termination");
    EXPECT_GE(run.seconds, 0.3);
    EXPECT_LT(run.seconds, 3.0);
    pid_t background = std::atoi(Read(pidfile).c_str());
    ASSERT_GT(background, 0);
    EXPECT_TRUE(WaitFor([&] { return !Alive(background); }, 3)) << "the group was not killed";
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_FALSE(std::filesystem::exists(late));
}

TEST_F(Process, StartOnlyLooksOnceAfterASecondAndReapsLater) {
    const std::string pidfile = dir + "/pid";
    Run running = Ex("sh -c 'echo $$ > " + pidfile + "; exec sleep 2'", kStartOnly);
    EXPECT_EQ(running.result, 1);
    EXPECT_EQ(running.exitcode, 0);
    EXPECT_EQ(running.message, "");
    EXPECT_GE(running.seconds, 0.95);
    EXPECT_LT(running.seconds, 1.9) << "waited for the program";

    Run ended = Ex("sh -c 'exit 7'", kStartOnly);
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.exitcode, 7);
    Run missing = Ex("no-such-program-anywhere", kStartOnly);
    EXPECT_EQ(missing.result, 0);
    EXPECT_EQ(missing.message, "exec error");
    Run crash = Ex("sh -c 'kill -SEGV $$'", kStartOnly);
    EXPECT_EQ(crash.result, 0) << "a crash is not reported as success";
    EXPECT_EQ(crash.message, "abnormal termination");

    // The first program ends after the call returned; it is reaped then, not left a zombie.
    if (access("/proc/self/stat", R_OK) != 0) return;
    const std::string proc = "/proc/" + Read(pidfile).substr(0, Read(pidfile).find('\n'));
    EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(proc); }, 5)) << proc;
    EXPECT_EQ(ZombieChildren(), 0);
}

// Program runs while other threads allocate all the time: a child that touched the allocator
// between fork and exec could hang on a lock held at the moment of the fork.
TEST_P(ProcessStart, ManyRunsWhileOtherThreadsAllocate) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> allocators;
    for (int t = 0; t < 3; t++)
        allocators.emplace_back([&] {
            while (!stop) {
                std::vector<std::string> junk;
                for (int i = 0; i < 64; i++) junk.emplace_back(static_cast<size_t>(i * 37), 'x');
            }
        });
    std::atomic<int> failures{0};
    std::vector<std::thread> runners;
    for (int t = 0; t < 4; t++)
        runners.emplace_back([&, t] {
            std::string output = dir + "/out" + std::to_string(t);
            for (int i = 0; i < 40; i++) {
                int exitcode = -1;
                String message;
                if (SystemEx2("sh -c 'exit 5'", nullptr, nullptr, output.c_str(), nullptr, 20000,
                              exitcode, message) != 1 ||
                    exitcode != 5)
                    failures++;
            }
        });
    for (std::thread& t : runners) t.join();
    stop = true;
    for (std::thread& t : allocators) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ZombieChildren(), 0);
}

// Scripts written and run at once by several threads: without HoldForks a child forked by
// another thread could hold the script open for writing at its exec ("Text file busy").
TEST_P(ProcessStart, FreshlyWrittenScriptsRunWhileOthersFork) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; i++) {
                String path;
                {
                    auto noForks = HoldForks();
                    int fd = CreateTempFile(dir.c_str(), nullptr, 0700, path);
                    if (fd < 0 || write(fd, "#!/bin/sh\nexit 6\n", 17) != 17) failures++;
                    close(fd);
                }
                std::string script(path.Data(), static_cast<size_t>(path.Length()));
                int exitcode = -1;
                String message;
                if (SystemEx(script.c_str(), nullptr, 20000, exitcode, message) != 1 ||
                    exitcode != 6) {
                    ADD_FAILURE() << std::string(message.Data() ? message.Data() : "",
                                                 message.Length());
                    failures++;
                }
                unlink(script.c_str());
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
