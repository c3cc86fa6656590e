#include "agent/descriptor_reserve.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "agent/event_report.h"
#include "config/settings.h"

namespace {

std::atomic<int> reserve{-1};

}  // namespace

void RefillReserve() {
    if (reserve.load() >= 0) return;
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    int expected = -1;
    if (fd >= 0 && !reserve.compare_exchange_strong(expected, fd)) close(fd);
}

bool ShedConnection(int listener, EventReport& report, const char* detail) {
    int spare = reserve.exchange(-1);
    if (spare < 0) {
        report.Note(detail);
        return false;
    }
    close(spare);
    bool shed = false;
    pollfd pending{listener, POLLIN, 0};
    if (poll(&pending, 1, 0) > 0) {
        int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock >= 0) {
            shutdown(sock, SHUT_RDWR);
            close(sock);
            AgentStatus.FailedConnections++;
            shed = true;
        }
    }
    report.Note(detail);
    RefillReserve();
    return shed;
}
