// Self-upgrade of a running agent, end to end: a real replacement through qdxctl, the refusals
// and failed transfers (each leaves the old agent running and the next upgrade possible), and an
// install that fails after the transfer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/upgrade_client.h"
#include "foundation/md5.h"
#include "harness.h"

namespace {

std::string Text(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

std::string Trailer(const std::string& exe, const String& key, bool corrupt = false) {
    MD5Context md5;
    MD5Open(&md5);
    MD5Digest(&md5, exe.data(), static_cast<unsigned>(exe.size()));
    unsigned char digest[16];
    MD5Close(&md5, digest);
    if (corrupt) digest[0] ^= 1;
    return Text(UpgradeTrailer(digest, key));
}

// The agent's own arguments, from the process table.
std::vector<std::string> CommandLine(pid_t pid) {
    std::string raw = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    for (size_t start = 0, end; start < raw.size(); start = end + 1) {
        end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        args.push_back(raw.substr(start, end - start));
    }
    return args;
}

// An agent whose "qdxpath" is a copy of the built agent inside the test's folder, which is also
// its temporary folder.
class UpgradeE2E : public ::testing::Test {
protected:
    UpgradeE2E() : agent_(dir_, Extra()) {}

    std::string Extra() {
        std::filesystem::create_directory(dir_.File("bin"));
        std::filesystem::copy_file(AgentImage(), QdxPath(),
                                   std::filesystem::copy_options::overwrite_existing);
        return "qdxpath=" + QdxPath() + "\n" + extra_;
    }

    std::string QdxPath() const { return dir_.File("bin/qdx"); }
    // No process runs the upgrade script any more (its watcher, in interactive mode, included).
    bool WatcherGone() const {
        for (const auto& entry : std::filesystem::directory_iterator("/proc"))
            if (ReadFile(entry.path().string() + "/cmdline").find(Script()) != std::string::npos)
                return false;
        return true;
    }
    std::string TempExe() const { return dir_.File("qdx__.upd"); }
    std::string Script() const { return dir_.File("qdxupd__.sh"); }

    // Sends UpgradeCode for `size` bytes; the open socket after a "200", else -1.
    int Begin(long long size, String& key, QdxReplyText& reply) {
        return QdxStartUpgrade(agent_.Endpoint(), size, key, reply);
    }

    // Begin, waiting while the reservation is still held by a transfer that is being abandoned.
    int BeginWhenFree(long long size, String& key, QdxReplyText& reply) {
        int sock = -1;
        WaitUntil([&] { return (sock = Begin(size, key, reply)) >= 0 || reply.Code() != "302"; },
                  5);
        return sock;
    }

    // Sends `bytes` after the "200" and reads the agent's answer.
    QdxReplyText Send(int sock, const String& key, const std::string& bytes) {
        EXPECT_TRUE(QdxSend(sock, bytes.data(), bytes.size()));
        QdxReplyText reply = QdxReadReply(sock, key, 10000);
        close(sock);
        return reply;
    }

    // The agent is the old one, untouched, and takes a new upgrade.
    void ExpectOldAgentReady() {
        EXPECT_EQ(ReadFile(QdxPath()), ReadFile(AgentImage()));
        EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(TempExe()); }, 5));
        EXPECT_FALSE(std::filesystem::exists(Script()));
        String key;
        QdxReplyText reply;
        int sock = BeginWhenFree(200, key, reply);
        EXPECT_EQ(reply.Code(), "200") << reply.text;
        if (sock >= 0) close(sock);
        EXPECT_EQ(agent_.Call("GetInfo").Code(), "200");
    }

    TempDir dir_;
    std::string extra_;
    Agent agent_;
};

TEST_F(UpgradeE2E, ReplacesTheExecutableAndComesBackWithItsArguments) {
    int port = FreePort();
    ASSERT_TRUE(agent_.Start({"-p", std::to_string(port)}));
    const std::string old = ReadFile(QdxPath());
    const std::string fresh = ReadFile(AgentImage()) + "\nnew build marker\n";
    ASSERT_LE(fresh.size(), 10485759u) << "the built agent is too large to upgrade with";
    WriteFile(dir_.File("new-qdx"), fresh);

    RunResult run =
        RunProgram(QDXCTL_BINARY,
                   {"-p", std::to_string(port), "upgrade", "--wait", "60", "--qdxpath",
                    QdxPath(), dir_.File("new-qdx")},
                   90, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("200\nthe agent has restarted and runs " + dir_.File("new-qdx") +
                                " (CRC-32 ",
                            0),
              0u)
        << run.out;

    // The same process, now running the new file at "qdxpath" with the same arguments.
    EXPECT_TRUE(agent_.Running());
    EXPECT_EQ(ReadFile(QdxPath()), fresh);
    EXPECT_EQ(ReadFile(QdxPath() + ".Old"), old);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(agent_.pid()) + "/exe"),
              QdxPath());
    EXPECT_EQ(
        CommandLine(agent_.pid()),
        (std::vector<std::string>{QdxPath(), "-i", "-p", std::to_string(port), agent_.config()}));
    QdxEndpoint endpoint = agent_.Endpoint();
    endpoint.port = port;
    EXPECT_EQ(QdxCall(endpoint, "GetInfo").Code(), "200");
    EXPECT_FALSE(std::filesystem::exists(TempExe()));
    EXPECT_FALSE(std::filesystem::exists(Script()));
    EXPECT_NE(
        agent_.Output().find("Upgrade done, previous executable kept as " + QdxPath() + ".Old\n"),
        std::string::npos);
    // The script's watcher takes the new agent for up once it has seen it listen for a second;
    // ended before that, the agent would be rolled back.
    EXPECT_TRUE(WaitUntil([&] { return WatcherGone(); }, 10));
    EXPECT_FALSE(std::filesystem::exists(QdxPath() + ".Failed"));
}

TEST_F(UpgradeE2E, SizeBounds) {
    ASSERT_TRUE(agent_.Start());
    for (long long size : {100LL, 10485760LL}) {
        String key;
        QdxReplyText reply;
        EXPECT_EQ(Begin(size, key, reply), -1);
        EXPECT_EQ(reply.text, "501\nWrong file parameter(s)\n\r") << size;
    }
    for (long long size : {101LL, 10485759LL}) {
        String key;
        QdxReplyText reply;
        int sock = BeginWhenFree(size, key, reply);
        EXPECT_GE(sock, 0) << size << ": " << reply.text;
        // Going away releases the reservation for the next size.
        if (sock >= 0) close(sock);
        EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(TempExe()); }, 5));
    }
}

// One transfer at a time; a transfer cut off half way gives the reservation back.
TEST_F(UpgradeE2E, SecondUpgradeGets302UntilTheFirstIsCutOff) {
    ASSERT_TRUE(agent_.Start());
    String key;
    QdxReplyText reply;
    int first = Begin(1000, key, reply);
    ASSERT_GE(first, 0) << reply.text;
    std::string half(500, 'x');
    ASSERT_TRUE(QdxSend(first, half.data(), half.size()));

    String otherKey;
    QdxReplyText other;
    EXPECT_EQ(Begin(1000, otherKey, other), -1);
    EXPECT_EQ(other.text, "302\n\r");
    EXPECT_TRUE(std::filesystem::exists(TempExe()));

    close(first);
    EXPECT_TRUE(
        agent_.WaitForOutput("Upgrade transfer abandoned: connection closed after 500 "
                             "of 1000 bytes\n",
                             5));
    ExpectOldAgentReady();
}

// Refused trailers: each ends with "300" "Wrong CRC", deletes the temporary executable and leaves
// the old agent in place.
TEST_F(UpgradeE2E, WrongTrailers) {
    ASSERT_TRUE(agent_.Start());
    const std::string exe(3000, 'E');
    struct Case {
        const char* what;
        std::vector<std::string> (*sends)(const std::string& exe, const std::string& trailer,
                                          const std::string& wrong);
    };
    const Case cases[] = {
        {"wrong digest", [](const std::string& e, const std::string&,
                            const std::string& w) { return std::vector<std::string>{e + w}; }},
        {"trailer cut short in the read with the executable's end",
         [](const std::string& e, const std::string& t, const std::string&) {
             return std::vector<std::string>{e + t.substr(0, 8)};
         }},
        {"executable ends a read, trailer cut short in the next",
         [](const std::string& e, const std::string& t, const std::string&) {
             return std::vector<std::string>{e, t.substr(0, 8)};
         }},
        {"trailer followed by extra bytes",
         [](const std::string& e, const std::string& t, const std::string&) {
             return std::vector<std::string>{e + t + "extra"};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        String key;
        QdxReplyText reply;
        int sock = BeginWhenFree(static_cast<long long>(exe.size()), key, reply);
        ASSERT_GE(sock, 0) << reply.text;
        std::vector<std::string> sends = c.sends(exe, Trailer(exe, key), Trailer(exe, key, true));
        for (size_t i = 0; i + 1 < sends.size(); i++) {
            ASSERT_TRUE(QdxSend(sock, sends[i].data(), sends[i].size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a read of its own
        }
        reply = Send(sock, key, sends.back());
        EXPECT_EQ(reply.text, "300\nWrong CRC\n\r");
        ExpectOldAgentReady();
    }
}

TEST_F(UpgradeE2E, PeerOutsideUpdateaddrGets600) {
    extra_ = "updateaddr=127.0.0.2\n";
    Agent outside(dir_, Extra(), 0);
    ASSERT_TRUE(outside.Start());
    String key;
    QdxReplyText reply;
    EXPECT_EQ(QdxStartUpgrade(outside.Endpoint(), 500, key, reply), -1);
    EXPECT_EQ(reply.text, "600\nOperation is not allowed\n\r");
    EXPECT_FALSE(std::filesystem::exists(TempExe()));
}

// The install fails after a good transfer (here "qdxpath.New" is a folder the script cannot
// replace): the old executable stays and is started again.
TEST_F(UpgradeE2E, FailedInstallStartsTheOldExecutable) {
    ASSERT_TRUE(agent_.Start());
    std::filesystem::create_directory(QdxPath() + ".New");
    const std::string exe = ReadFile(AgentImage()) + "\nnew build marker\n";
    String key;
    QdxReplyText reply;
    int sock = BeginWhenFree(static_cast<long long>(exe.size()), key, reply);
    ASSERT_GE(sock, 0) << reply.text;
    ASSERT_TRUE(QdxSend(sock, exe.data(), exe.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reply = Send(sock, key, Trailer(exe, key));
    EXPECT_EQ(reply.text, "200\n\r");

    EXPECT_TRUE(agent_.WaitForOutput("Upgrade failed, previous executable kept\n", 20));
    EXPECT_TRUE(WaitUntil([&] { return agent_.Call("GetInfo").Code() == "200"; }, 20));
    EXPECT_TRUE(agent_.Running());
    EXPECT_EQ(ReadFile(QdxPath()), ReadFile(AgentImage()));
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(agent_.pid()) + "/exe"),
              QdxPath());
}

}  // namespace
