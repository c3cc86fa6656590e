// A terminal named in a request or a setting never becomes the agent's controlling terminal. The
// daemon leads its own session without one, and on some systems the first terminal such a
// process opens without O_NOCTTY becomes its controlling terminal: one ^C typed there would then
// end the agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "agent/dispatch.h"
#include "config/messages.h"
#include "config_fixture.h"

using namespace configtest;

namespace {

// Runs `request` through the dispatcher; the reply's result code line.
std::string ResultOf(const std::string& request) {
    ZPRequest parsed;
    parsed = String(request.data(), static_cast<int>(request.size()));
    QDXReply reply;
    reply.InitPacket(nullptr, "key");
    UpgradeRec upgrade;
    ThreadParams peer{-1, {}};
    ProcessZPRequest(parsed, reply, QDXFlags, peer, upgrade);
    std::string text = Str(reply.Text());
    return text.substr(0, text.find('\n'));
}

// In a new session without a terminal, as the daemon is: opens a pseudo-terminal, lets the file
// checksum, the text log and the success log open its terminal end, then types ^C into it. Exit
// codes: 0 passed, 4 the terminal became ours, others a step failed; a ^C that reached us ends
// the child by SIGINT.
int CheckInNewSession() {
    if (setsid() < 0) return 1;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
    const char* name = ptsname(master);
    if (name == nullptr) return 3;
    std::string terminal = name;

    TQDXSettings settings;
    settings.filecrc = 1;
    settings.textlog = 1;
    settings.logsuccess = 1;
    settings.oklogfile = terminal.c_str();
    PublishSettings(settings);

    // Whatever the checks answer about a terminal, opening it must not make it ours.
    ResultOf("TEST-FileCRC\n" + terminal + "\n\r");
    ResultOf("TEST-TextLog\n" + terminal + "\nerror\n\n\n\n\n\n\n\n\r");
    showmessage("written to a terminal\n", LOCAL, msgOk, 0);

    bool controlled = open("/dev/tty", O_RDWR | O_NOCTTY) >= 0 || errno != ENXIO;

    // The line discipline handles ^C before the line after it: once that line can be read, a
    // SIGINT for a controlling terminal would already have been sent.
    int reader = open(terminal.c_str(), O_RDONLY | O_NOCTTY);
    if (reader < 0) return 5;
    if (write(master, "\x03line\n", 6) != 6) return 6;
    char line[64];
    ssize_t got = 0;
    do got = read(reader, line, sizeof line);
    while (got < 0 && errno == EINTR);
    if (got <= 0) return 7;
    return controlled ? 4 : 0;
}

TEST(ControllingTerminal, TerminalsNamedInRequestsAndSettingsAreNeverTaken) {
    SettingsGuard guard;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        _exit(CheckInNewSession());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
