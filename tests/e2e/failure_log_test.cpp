// What the failure log tells an administrator about peers: refused logins with the peer's address
// (a password-guessing run in a line a second), refused rights with the right that was missing,
// and text from a peer that cannot pass for a log line of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// The messages of the failure log from `peer` (the text after the address column).
std::vector<std::string> MessagesFrom(const std::string& log, const std::string& peer) {
    std::vector<std::string> messages;
    const std::string column = "\t " + peer + "\t ";
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        size_t at = line.find(column);
        if (at != std::string::npos) messages.push_back(line.substr(at + column.size()));
        start = end + 1;
    }
    return messages;
}

// Sends `requestText` under `password` from the loopback address `from`; the decrypted reply, if
// any came.
QdxReplyText SendFrom(const Agent& agent, const char* from, const std::string& password,
                      const std::string& requestText) {
    QdxReplyText reply;
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(agent.port()));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(sock, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(sock);
        reply.error = "cannot connect from " + std::string(from);
        return reply;
    }
    String key = NewSessionKey();
    String text(requestText.data(), static_cast<int>(requestText.size()));
    reply = QdxExchange(sock, BuildRequestPacket(password.c_str(), key, text), key, 5000);
    close(sock);
    return reply;
}

// The number of refusals the lines stand for: "... (N times)" counts N, any other line one.
int Occurrences(const std::vector<std::string>& messages, const std::string& text) {
    int total = 0;
    std::regex times(" \\(([0-9]+) times\\)$");
    for (const std::string& message : messages) {
        if (message.rfind(text, 0) != 0) continue;
        std::smatch count;
        total += std::regex_search(message, count, times) ? std::stoi(count[1]) : 1;
    }
    return total;
}

TEST(FailureLog, WrongPasswordsAreLoggedWithThePeerALineASecond) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    const std::string getInfo = "GetInfo\r\n\r";
    EXPECT_EQ(SendFrom(agent, "127.0.0.5", "guess", getInfo).status, CallStatus::NoReply);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return MessagesFrom(ReadFile(agent.LogFile("log2.txt")), "127.0.0.5") ==
                   std::vector<std::string>{"Wrong password from 127.0.0.5"};
        },
        5))
        << ReadFile(agent.LogFile("log2.txt"));

    // A run of guesses gives a line a second with the count, and a guess from elsewhere its own.
    const int guesses = 40;
    for (int i = 0; i < guesses; i++)
        SendFrom(agent, "127.0.0.5", "guess" + std::to_string(i), getInfo);
    SendFrom(agent, "127.0.0.6", "other", getInfo);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Occurrences(MessagesFrom(ReadFile(agent.LogFile("log2.txt")), "127.0.0.5"),
                               "Wrong password from 127.0.0.5") == guesses + 1;
        },
        5));
    std::vector<std::string> fromGuesser =
        MessagesFrom(ReadFile(agent.LogFile("log2.txt")), "127.0.0.5");
    EXPECT_LT(fromGuesser.size(), 10u) << "not held to a line a second";
    EXPECT_EQ(MessagesFrom(ReadFile(agent.LogFile("log2.txt")), "127.0.0.6"),
              std::vector<std::string>{"Wrong password from 127.0.0.6"});

    // The right password still works, and the counters keep their meaning.
    QdxReplyText info = agent.Call("GetInfo");
    ASSERT_EQ(info.Code(), "200");
    EXPECT_NE(info.text.find("\nFailedConnections=0\n"), std::string::npos);
}

// Every "600" says which command, which peer, and what was missing.
TEST(FailureLog, RefusalsNameTheMissingRight) {
    struct Setup {
        const char* settings;
        std::vector<std::pair<std::string, std::string>> refusals;  // command, what was missing
    } setups[] = {
        {"allowmanage=0\nupdateaddr=127.0.0.2\nprocess=0\n",
         {{"QUIT", "allowmanage is off"},
          {"UpgradeCode", "not in updateaddr"},
          {"TEST-Process", "test is not allowed"}}},
        {"manageaddr=127.0.0.2\nallowupdates=0\n",
         {{"GetSettings", "not in manageaddr"}, {"UpgradeCode", "allowupdates is off"}}},
    };
    for (const Setup& setup : setups) {
        TempDir dir;
        Agent agent(dir, setup.settings);
        ASSERT_TRUE(agent.Start());
        std::vector<std::string> expected;
        for (const auto& [command, missing] : setup.refusals) {
            EXPECT_EQ(agent.Call(command, {"500"}).Code(), "600") << command;
            expected.push_back("Refused " + command + " from 127.0.0.1: " + missing);
        }
        EXPECT_TRUE(WaitUntil(
            [&] { return MessagesFrom(ReadFile(agent.LogFile("log2.txt")), "127.0.0.1") == expected; },
            5))
            << ReadFile(agent.LogFile("log2.txt"));
        EXPECT_EQ(agent.Call("GetInfo").Code(), "200");
    }
}

// A command name holding line breaks and tabs is logged with them escaped: no request can write a
// line of its own into the failure log.
TEST(FailureLog, PeerTextCannotForgeALogLine) {
    TempDir dir;
    Agent agent(dir);
    ASSERT_TRUE(agent.Start());
    const std::string forged = "[01/01/2026 00:00:00]\t 10.9.9.9\t Wrong password from 10.9.9.9";
    QdxReplyText reply = SendFrom(agent, "127.0.0.1", Agent::Password(), "X\r" + forged + "\r\n\r");
    EXPECT_EQ(reply.Code(), "500");
    EXPECT_TRUE(WaitUntil(
        [&] { return !MessagesFrom(ReadFile(agent.LogFile("log2.txt")), "127.0.0.1").empty(); }, 5));
    const std::string log = ReadFile(agent.LogFile("log2.txt"));
    EXPECT_EQ(MessagesFrom(log, "127.0.0.1"),
              std::vector<std::string>{"Unknown command \"X\\x0D[01/01/2026 00:00:00]\\x09 "
                                       "10.9.9.9\\x09 Wrong password from 10.9.9.9\""});
    EXPECT_TRUE(MessagesFrom(log, "10.9.9.9").empty()) << log;
}

// Runs its arguments with a /dev of their own, in a private mount namespace: the devices the
// agent opens, and the socket "log" of the folder given first as /dev/log.
const char kPrivateDev[] = R"sh(set -e
stage=$1; shift
mount --make-rprivate /
for n in null zero random urandom; do : > "$stage/$n"; mount --bind "/dev/$n" "$stage/$n"; done
mount -t tmpfs -o mode=0755 qdx-test-dev /dev
for n in null zero random urandom; do : > "/dev/$n"; mount --bind "$stage/$n" "/dev/$n"; done
: > /dev/log
mount --bind "$stage/log" /dev/log
exec "$@"
)sh";

// With logsyslog=1 the agent copies its failure messages to the system log, also with the failure
// log off: refused logins as authentication messages (authpriv, warning: <84>), others as the
// daemon's (<28>). The test stands in for the system's log daemon on /dev/log.
TEST(FailureLog, LogSyslogCopiesToTheSystemLog) {
    if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    TempDir dir;
    int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.File("log").c_str());
    ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string pidfile = dir.File("qdx.pid");
    Agent agent(dir, "logsyslog=1\nlogfails=0\npidfile=" + pidfile + "\n");
    RunResult run = RunProgram("/usr/bin/unshare", {"-m", "/bin/sh", "-c", kPrivateDev, "sh",
                                                    dir.path(), QDX_BINARY, "-d", agent.config()});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const pid_t daemon = std::atoi(ReadFile(pidfile).c_str());
    ASSERT_GT(daemon, 0);
    struct Stop {
        pid_t pid;
        ~Stop() { kill(pid, SIGKILL); }
    } stop{daemon};
    const std::string prefix = " qdx[" + std::to_string(daemon) + "]: ";

    SendFrom(agent, "127.0.0.5", "guess", "GetInfo\r\n\r");
    EXPECT_EQ(agent.Call("NoSuchCommand").Code(), "500");
    std::vector<std::string> received;
    for (int i = 0; i < 2; i++) {
        pollfd ready{log, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1) break;
        char datagram[1024];
        ssize_t n = recv(log, datagram, sizeof datagram, 0);
        if (n > 0) received.emplace_back(datagram, static_cast<size_t>(n));
    }
    ASSERT_EQ(received.size(), 2u);
    std::regex stamp("<(84|28)>[A-Z][a-z][a-z] [ 1-3][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] .*");
    for (const std::string& line : received) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_EQ(received[0].substr(0, 4), "<84>");
    EXPECT_TRUE(received[0].ends_with(prefix + "127.0.0.5: Wrong password from 127.0.0.5"))
        << received[0];
    EXPECT_EQ(received[1].substr(0, 4), "<28>");
    EXPECT_TRUE(received[1].ends_with(prefix + "127.0.0.1: Unknown command \"NoSuchCommand\""))
        << received[1];
    EXPECT_FALSE(std::filesystem::exists(agent.LogFile("log2.txt")));
    close(log);
}

}  // namespace
