// The handlers called directly: what the end-to-end tests cannot reach in reasonable time.
#include "handlers/process_tests.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "fileutils/fs_guard.h"
#include "process_census.h"

namespace {

using Clock = std::chrono::steady_clock;

class ScriptHandlers : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdx-handlers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        saved = *CurrentSettings();
    }
    void TearDown() override {
        SetScriptWaitLimitForTesting(60000);
        Publish(saved);
        std::filesystem::remove_all(dir);
    }
    std::string Script(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        chmod(path.c_str(), 0755);
        return path;
    }
    void Use(const std::string& count, const std::string& list) {
        TQDXSettings s = saved;
        s.process = 1;
        s.proccntscript = count.c_str();
        s.proclistscript = list.c_str();
        s.tmpdir = dir.c_str();
        Publish(s);
    }
    static void Publish(const TQDXSettings& s) {
        auto lock = LockOptions();
        PublishSettings(s);
    }
    std::string Call(void (*handler)(const ZPRequest&, QDXReply&), const char* params) {
        ZPRequest request;
        request = params;
        QDXReply reply;
        handler(request, reply);
        return std::string(reply.Text().Data(), static_cast<size_t>(reply.Text().Length()));
    }
    std::vector<std::string> Files() {
        std::vector<std::string> names;
        for (auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        return names;
    }
    std::string dir;
    TQDXSettings saved;
};

using HandlerFn = void (*)(const ZPRequest&, QDXReply&);

// A temporary folder whose name leaves no room for a file name.
void LongTmp(TQDXSettings& s) {
    s.tmpdir = std::string(600, 'd').c_str();
}

TEST_F(ScriptHandlers, SwitchesAndScriptSettings) {
    const std::string missing = dir + "/missing.sh";
    struct Case {
        const char* what;
        void (*change)(TQDXSettings&, const std::string&);
        HandlerFn handler;
        const char* params;
        std::string reply;
    } cases[] = {
        {"process off", [](TQDXSettings& s, const std::string&) { s.process = 0; },
         ProcessTest_Process, "\nsshd\n", "600\ntest is not allowed"},
        {"process off", [](TQDXSettings& s, const std::string&) { s.process = 0; },
         ProcessInfo_ProcessesList, "", "600\ntest is not allowed"},
        {"cpuusage off", [](TQDXSettings& s, const std::string&) { s.cpuusage = 0; },
         ProcessTest_CPU, "", "600\ntest is not allowed"},
        {"external off", [](TQDXSettings& s, const std::string&) { s.external = 0; },
         ProcessTest_External, "true\n", "600\ntest is not allowed"},
        {"shellscript off", [](TQDXSettings& s, const std::string&) { s.shellscript = 0; },
         ProcessTest_ShellScript, "%script%\necho hi\n", "600\ntest is not allowed"},
        {"no count script", [](TQDXSettings& s, const std::string&) { s.proccntscript = ""; },
         ProcessTest_Process, "\nsshd\n", "301\nProcCnt script is not speified"},
        {"no list script", [](TQDXSettings& s, const std::string&) { s.proclistscript = ""; },
         ProcessInfo_ProcessesList, "", "301\nProcList script is not speified"},
        {"no cpu script", [](TQDXSettings& s, const std::string&) { s.cpuusagescript = ""; },
         ProcessTest_CPU, "", "301\nCPUUsage script is not speified"},
        {"missing count script",
         [](TQDXSettings& s, const std::string& m) { s.proccntscript = m.c_str(); },
         ProcessTest_Process, "\nsshd\n", "301\nProcCnt script doesn't exist"},
        {"missing list script",
         [](TQDXSettings& s, const std::string& m) { s.proclistscript = m.c_str(); },
         ProcessInfo_ProcessesList, "", "301\nProcList script doesn't exist"},
        {"missing cpu script",
         [](TQDXSettings& s, const std::string& m) { s.cpuusagescript = m.c_str(); },
         ProcessTest_CPU, "", "301\nCPUUsage script doesn't exist"},
        // The output file is named but cannot be created; no name fits at all.
        {"count, no temporary folder",
         [](TQDXSettings& s, const std::string& m) { s.tmpdir = m.c_str(); }, ProcessTest_Process,
         "\nsshd\n", "301\nCannot get script results"},
        {"list, no temporary folder",
         [](TQDXSettings& s, const std::string& m) { s.tmpdir = m.c_str(); },
         ProcessInfo_ProcessesList, "", "301\nCannot get script results"},
        {"cpu, no temporary folder",
         [](TQDXSettings& s, const std::string& m) { s.tmpdir = m.c_str(); }, ProcessTest_CPU, "",
         "301\nCannot get script results"},
        {"count, folder name too long", [](TQDXSettings& s, const std::string&) { LongTmp(s); },
         ProcessTest_Process, "\nsshd\n", "301\ncannot get temp file"},
        {"list, folder name too long", [](TQDXSettings& s, const std::string&) { LongTmp(s); },
         ProcessInfo_ProcessesList, "", "301\ncannot get temp file"},
        {"cpu, folder name too long", [](TQDXSettings& s, const std::string&) { LongTmp(s); },
         ProcessTest_CPU, "", "301\ncannot get temp file"},
    };
    const std::string fine = Script("fine.sh", "#!/bin/sh\necho 1\n");
    for (const Case& c : cases) {
        TQDXSettings s = saved;
        s.process = s.cpuusage = s.external = s.shellscript = 1;
        s.proccntscript = s.proclistscript = s.cpuusagescript = fine.c_str();
        s.tmpdir = dir.c_str();
        c.change(s, missing);
        Publish(s);
        EXPECT_EQ(Call(c.handler, c.params), c.reply) << c.what;
    }
    EXPECT_EQ(Files(), std::vector<std::string>({"fine.sh"})) << "refusals leave no file behind";
}

// What the process-count and CPU scripts leave decides the answer; their exit status does not.
TEST_F(ScriptHandlers, ScriptOutcomes) {
    struct Case {
        HandlerFn handler;
        std::string body;
        std::string reply;
    } cases[] = {
        {ProcessTest_Process, "echo 9; exit 1", "200\n9\n"},
        {ProcessTest_Process, "echo; echo '  7 processes'", "200\n7\n"},
        {ProcessTest_Process, "exit 0", "301\nScript error"},
        {ProcessTest_Process, "echo none", "301\nScript error"},
        {ProcessTest_CPU, "echo 7; exit 3", "200\n7.0000\n"},
        {ProcessTest_CPU, "echo busy", "301\nScript error"},
        {ProcessTest_CPU, "kill -SEGV $$", "301\nCannot execute script"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string path = Script("s" + std::to_string(n++) + ".sh", "#!/bin/sh\n" + c.body + "\n");
        TQDXSettings s = saved;
        s.process = s.cpuusage = 1;
        s.proccntscript = s.cpuusagescript = path.c_str();
        s.tmpdir = dir.c_str();
        s.delayforscripts = 0;
        Publish(s);
        EXPECT_EQ(Call(c.handler, "\nname\n"), c.reply) << c.body;
    }
    // A script whose interpreter is missing cannot be started.
    std::string broken = Script("broken.sh", "#!/no/such/interpreter\necho 1\n");
    TQDXSettings s = saved;
    s.cpuusage = 1;
    s.cpuusagescript = broken.c_str();
    s.tmpdir = dir.c_str();
    s.delayforscripts = 0;
    Publish(s);
    EXPECT_EQ(Call(ProcessTest_CPU, ""), "301\nCannot execute script");
}

// A script that never ends would hold its session thread for ever: it is killed with its
// process group at the limit, and what it left is not taken for a result.
TEST_F(ScriptHandlers, EndlessScriptsAreKilledAtTheLimit) {
    std::string late = dir + "/late";
    std::string body = "#!/bin/sh\necho 5\n(sleep 1; touch " + late + ") &\nsleep 60\n";
    Use(Script("count.sh", body), Script("list.sh", body));
    SetScriptWaitLimitForTesting(300);

    auto start = Clock::now();
    EXPECT_EQ(Call(ProcessTest_Process, "\nsshd\n"), "301\nCannot execute script");
    EXPECT_EQ(Call(ProcessInfo_ProcessesList, ""), "301\nCannot execute script");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_FALSE(std::filesystem::exists(late)) << "the script's background job survived";
    std::vector<std::string> left = Files();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"count.sh", "list.sh"}));
}

// Many program requests at once while other threads allocate and fault in pages: every answer
// is right, and nothing is left behind (no zombie, no descriptor, no temporary file).
TEST_F(ScriptHandlers, ManyRequestsAtOnceWhileMemoryChurns) {
    TQDXSettings s = saved;
    s.process = s.cpuusage = s.external = s.shellscript = 1;
    s.proccntscript = Script("count.sh", "#!/bin/sh\necho 4\n").c_str();
    s.proclistscript = Script("list.sh", "#!/bin/sh\necho init\n").c_str();
    s.cpuusagescript = Script("cpu.sh", "#!/bin/sh\necho 2.5\n").c_str();
    s.tmpdir = dir.c_str();
    s.delayforscripts = 0;
    Publish(s);
    FsTargetOf("/");  // the file-system guard keeps the mount table open for the process
    const int descriptorsBefore = testing_support::OpenDescriptors();

    struct Request {
        HandlerFn handler;
        std::string params;
        std::string reply;
    };
    const Request mix[] = {
        {ProcessTest_External, "sh -c 'exit 3'\n\n\n5000\n", "200\n3\n"},
        {ProcessTest_External, "no-such-program-anywhere\n\n\n5000\n",
         "301\nexec error: No such file or directory"},
        {ProcessTest_External, "pwd\n" + dir + "\n\n5000\n", "200\n0\n"},
        // No "#!": run by /bin/sh after the exec refuses it.
        {ProcessTest_ShellScript, "%script% %params%\necho scriptres:$1\nok\n10\n5\n",
         "200\nscriptres:ok\nscriptres:ok%0D%0A\n"},
        {ProcessTest_Process, "\nsshd\n", "200\n4\n"},
        {ProcessInfo_ProcessesList, "", "200\ninit%0D%0A\n"},
        {ProcessTest_CPU, "", "200\n2.5000\n"},
    };
    constexpr int kRequests = 280;
    std::atomic<int> next{0}, wrong{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> churn;
    for (int t = 0; t < 2; t++)
        churn.emplace_back([&] {
            constexpr size_t kBytes = 8 << 20;
            while (!stop) {
                void* area = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                if (area == MAP_FAILED) continue;
                for (size_t at = 0; at < kBytes; at += 4096) static_cast<char*>(area)[at] = 1;
                munmap(area, kBytes);
                std::vector<std::string> junk;
                for (int i = 0; i < 64; i++) junk.emplace_back(static_cast<size_t>(i * 37), 'x');
            }
        });
    std::vector<std::thread> runners;
    for (int t = 0; t < 8; t++)
        runners.emplace_back([&] {
            for (int i; (i = next++) < kRequests;) {
                const Request& r = mix[i % (sizeof mix / sizeof mix[0])];
                std::string reply = Call(r.handler, r.params.c_str());
                if (reply != r.reply && wrong++ < 3)
                    ADD_FAILURE() << r.params << ": " << reply << " instead of " << r.reply;
            }
        });
    for (std::thread& t : runners) t.join();
    stop = true;
    for (std::thread& t : churn) t.join();
    EXPECT_EQ(wrong, 0);

    auto settled = [&] {
        return testing_support::ZombieChildren() == 0 &&
               testing_support::OpenDescriptors() <= descriptorsBefore;
    };
    for (int i = 0; i < 250 && !settled(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(testing_support::ZombieChildren(), 0);
    EXPECT_LE(testing_support::OpenDescriptors(), descriptorsBefore);
    std::vector<std::string> left = Files();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"count.sh", "cpu.sh", "list.sh"}));
}

}  // namespace
