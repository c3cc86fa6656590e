// SetSettings: what it stores is what the configuration file gives back on the next load, and a
// request it cannot store that way changes nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "config/options.h"
#include "config_fixture.h"
#include "handlers/agent_info.h"

using namespace configtest;
using namespace std::string_literals;

namespace {

class SetSettings : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = dir_ / "agent";
        WriteFile(agent_, "#!/bin/sh\n");
        cfg_ = dir_ / "qdx.cfg";
    }
    // Loads `text` as the settings in force.
    void Start(const std::string& text) {
        WriteFile(cfg_, text + "qdxpath=" + agent_ + "\n");
        TQDXSettings loaded;
        SetCfgFile(loaded, cfg_);
        String message;
        ASSERT_TRUE(LoadOptions_(loaded, message)) << Str(message);
        PublishSettings(loaded);
    }
    // The reply text to SetSettings with `params`, one per line.
    std::string Set(const std::vector<std::string>& params) {
        std::string text;
        for (const std::string& p : params) text += p + "\n";
        text += "\r";
        ZPRequest request;
        request = String(text.data(), static_cast<int>(text.size()));
        QDXReply reply;
        reply.InitPacket(nullptr, "key");
        SetAgentSettings(request, reply);
        return Str(reply.Text());
    }
    TQDXSettings Reloaded() const {
        TQDXSettings back;
        SetCfgFile(back, cfg_);
        String message;
        EXPECT_TRUE(LoadOptions_(back, message)) << Str(message);
        return back;
    }

    EnvGuard env_;
    SettingsGuard settings_;
    TempDir dir_;
    std::string agent_, cfg_;
};

const std::string kStart = "port=5000\npassword=pw\ncomment=before\ntimeout=600000\n";

TEST_F(SetSettings, StoresWhatTheFileGivesBack) {
    struct Case {
        const char* name;
        std::vector<std::string> params;
        std::function<void(const TQDXSettings&)> check;
    } cases[] = {
        {"TimeoutZeroMeansTheDefault", {"Timeout=0"},
         [](const TQDXSettings& s) { EXPECT_EQ(s.timeout, 4000); }},
        {"TextIsTrimmed", {"Comment=  padded \t"},
         [](const TQDXSettings& s) { EXPECT_EQ(Str(s.comment), "padded"); }},
        {"LongestTextALineHolds", {"Comment=" + std::string(1013, 'x')},
         [](const TQDXSettings& s) { EXPECT_EQ(s.comment.Length(), 1013); }},
        {"FilterListSeparatedByCRLF", {"IPFilterAddr=10.0.0.1%0D%0A10.0.0.2", "IPFilterMarks=01"},
         [](const TQDXSettings& s) {
             EXPECT_EQ(Str(s.filterlist), "10.0.0.1\r\n10.0.0.2");
             EXPECT_EQ(Str(s.filteractivelist), "\r\n10.0.0.2\r\n");
         }},
        {"FilterListSeparatorsOfAnyKindBecomeOneCRLF",
         {"IPFilterAddr=10.0.0.1%0A%0A10.0.0.2 10.0.0.3%0D", "IPFilterMarks=111"},
         [](const TQDXSettings& s) {
             EXPECT_EQ(Str(s.filterlist), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Start(kStart);
        EXPECT_EQ(Set(c.params), "200\n");
        SettingsSnapshot inForce = CurrentSettings();
        c.check(*inForce);
        const char* differs = FirstFileDifference(*inForce, Reloaded());
        EXPECT_EQ(differs, nullptr) << differs;
    }
}

// A value the file cannot hold as it stands refuses the whole request, in memory and on disk.
TEST_F(SetSettings, ValuesTheFileCannotHoldAreRefused) {
    const std::vector<std::string> kRefused[] = {
        {"Comment=changed", "Password=ab\rcd"},
        {"Comment=changed", "Comment=a\0b"s},
        {"Comment=changed", "ManageAddr=127.0.0.1\r,10.0.0.2"},
        {"Comment=changed", "OkLogFile=" + std::string(1014, 'x')},
        {"Comment=changed", "Comment=" + std::string(1014, 'x')},
        {"Comment=changed", "IPFilterAddr=" + std::string(1011, 'x')},
    };
    for (const std::vector<std::string>& params : kRefused) {
        SCOPED_TRACE(params[1].substr(0, 40));
        Start(kStart);
        std::string before = ReadFile(cfg_).value_or("");
        SettingsSnapshot inForce = CurrentSettings();
        EXPECT_EQ(Set(params), "501\nWrong parameter");
        EXPECT_EQ(CurrentSettings(), inForce);
        EXPECT_EQ(ReadFile(cfg_), before);
    }
}

}  // namespace
