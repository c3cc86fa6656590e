// The handlers called directly: what the end-to-end tests cannot reach in reasonable time.
#include "handlers/process_tests.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "config/settings.h"

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
// process group at the limit and answered as a script that left no result.
TEST_F(ScriptHandlers, EndlessScriptsAreKilledAtTheLimit) {
    std::string late = dir + "/late";
    std::string body = "#!/bin/sh\necho 5\n(sleep 1; touch " + late + ") &\nsleep 60\n";
    Use(Script("count.sh", body), Script("list.sh", body));
    SetScriptWaitLimitForTesting(300);

    auto start = Clock::now();
    EXPECT_EQ(Call(ProcessTest_Process, "\nsshd\n"), "301\nScript error");
    EXPECT_EQ(Call(ProcessInfo_ProcessesList, ""), "200\n\n");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_FALSE(std::filesystem::exists(late)) << "the script's background job survived";
    std::vector<std::string> left = Files();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"count.sh", "list.sh"}));
}

}  // namespace
