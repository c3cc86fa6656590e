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
        auto lock = LockOptions();
        PublishSettings(saved);
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
