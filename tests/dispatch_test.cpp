// The dispatcher: refusals, rights, and the process-wide requests of the management commands.
#include "agent/dispatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "config_fixture.h"

using namespace configtest;
using namespace std::string_literals;

namespace {

ThreadParams Peer(const char* address) {
    in_addr v4{};
    inet_pton(AF_INET, address, &v4);
    return ThreadParams{-1, PeerAddress(v4)};
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        TQDXSettings settings;
        settings.allowmanage = 1;
        settings.manageaddr = "127.0.0.1";
        PublishSettings(settings);
    }
    // The reply text (before finalisation) to `text` from `peer`.
    std::string Run(const std::string& text, QDXReply& reply, const char* peer = "127.0.0.1") {
        ZPRequest request;
        request = String(text.data(), static_cast<int>(text.size()));
        reply.InitPacket(nullptr, "key");
        UpgradeRec upgrade;
        ProcessZPRequest(request, reply, QDXFlags, Peer(peer), upgrade);
        return Str(reply.Text());
    }
    SettingsGuard guard_;
};

TEST_F(Dispatch, UnknownCommandIsEchoedUpToItsFirstNul) {
    QDXReply reply;
    EXPECT_EQ(Run("GET\0hidden\n\r"s, reply), "500\nUnknown command \"GET\"");
    // The whole name is looked up: a hidden tail keeps it from matching a real command.
    EXPECT_EQ(Run("QUIT\0x\n\r"s, reply), "500\nUnknown command \"QUIT\"");
}

// QUIT and ReloadApp answer first; the flag goes up only once the session has sent the reply,
// so the accept loop can never end or replace the process before it is out.
TEST_F(Dispatch, ProcessRequestsWaitForTheirReplyToBeSent) {
    struct Case {
        const char* command;
        std::atomic<int>& flag;
    } cases[] = {{"QUIT", QDXFlags.terminate}, {"ReloadApp", QDXFlags.restart}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        QDXReply reply;
        EXPECT_EQ(Run(std::string(c.command) + "\n\r", reply), "200\nOk");
        EXPECT_EQ(c.flag.load(), 0) << "raised before the reply was sent";
        ASSERT_NE(reply.AfterSending(), nullptr);
        reply.AfterSending()();
        EXPECT_EQ(c.flag.load(), 1);
        c.flag.store(0);

        QDXReply refused;
        EXPECT_EQ(Run(std::string(c.command) + "\n\r", refused, "127.0.0.2"),
                  "600\nOperation is not allowed");
        EXPECT_EQ(refused.AfterSending(), nullptr);
    }
}

}  // namespace
