// The reserve descriptor: with every descriptor taken, the pending connection is still accepted
// and closed, and the failure is logged.
#include "agent/descriptor_reserve.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "agent/event_report.h"

namespace {

std::vector<std::string> logged;

void Collect(const char* line) {
    logged.push_back(line);
}

// Runs in a child process (it lowers its descriptor limit for good); the exit code says which
// step failed, 0 for none.
int ShedWithEveryDescriptorTaken() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 10;
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0) return 11;

    rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 12;
    RefillReserve();
    while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
    }
    if (accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) >= 0 || errno != EMFILE) return 13;

    EventReport report("Accept error: %s", Collect);
    if (!ShedConnection(listener, report, "Too many open files")) return 14;
    char byte;
    if (recv(client, &byte, 1, 0) != 0) return 15;  // the connection was closed
    if (logged != std::vector<std::string>{"Accept error: Too many open files\n"}) return 16;
    // The reserve is held again: the next shed finds it.
    if (ShedConnection(listener, report, "Too many open files")) return 17;  // nothing pending
    if (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) return 18;  // still every descriptor taken
    return 0;
}

TEST(DescriptorReserve, ShedsThePendingConnectionWhenDescriptorsRunOut) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(ShedWithEveryDescriptorTaken());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
