#include "net/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <thread>

#include "foundation/blocking_wait.h"
#include "net/resolve.h"
#include "net/wait_budget.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, rounded up so a wait never ends early; 0 once it passed.
int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Waits until sock can take more bytes: 1, or 0 with "Timeout" when the deadline passed first, or
// kIpSendError with the system's error text.
int WaitForRoom(int sock, Clock::time_point deadline, String& error) {
    int ready = WaitForSocket(sock, POLLOUT, MillisecondsLeft(deadline));
    if (ready == 1) return 1;
    if (ready == 0) {
        error = kTimeoutText;
        return kIpTimeout;
    }
    error = GetErrorStr(errno);
    return kIpSendError;
}

}  // namespace

int OpenSocketFor(int type, const SocketAddress& peer, int& sock, String& error) {
    sock = socket(peer.Family(), type | SOCK_CLOEXEC, 0);
    if (sock >= 0) return 1;
    error = GetErrorStr(errno);
    return kIpSocketError;
}

int WaitForSocket(int sock, short events, int timeoutMs) {
    if (timeoutMs < 0) {
        errno = EINVAL;
        return -1;
    }
    int wait = CapToNetworkBudget(timeoutMs);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait);
    // A socket that is ready at once (a loopback connect, room to send) is no wait: the session
    // keeps its turn.
    std::optional<BlockingWait> outside;
    for (int look = 0;; look = wait) {
        pollfd entry{sock, events, 0};
        int ready = poll(&entry, 1, look);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1;
        }
        if (ready == 0 && look == wait) return 0;
        if (ready < 0 && errno != EINTR) return -1;
        if (!outside.has_value()) outside.emplace();
        wait = MillisecondsLeft(deadline);
    }
}

int SecondsToMilliseconds(int seconds) {
    long long ms = static_cast<long long>(seconds) * 1000;
    if (ms > INT_MAX) return INT_MAX;
    if (ms < INT_MIN) return INT_MIN;
    return static_cast<int>(ms);
}

int SendWhole(int sock, const char* data, int length, int limitMs, String& error) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    int sent = 0;
    while (sent < length) {
        ssize_t n = send(sock, data + sent, static_cast<size_t>(length - sent),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && !WouldBlock(errno)) {
            error = GetErrorStr(errno);
            return kIpSendError;
        }
        int room = WaitForRoom(sock, deadline, error);
        if (room != 1) return room;
    }
    return sent;
}

int SendDatagram(int sock, const char* data, int length, const SocketAddress& peer, String& error) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSendLimitMs);
    for (;;) {
        ssize_t sent = sendto(sock, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT,
                              peer.Get(), peer.length);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        if (!WouldBlock(errno)) {
            error = GetErrorStr(errno);
            return kIpSendError;
        }
        int room = WaitForRoom(sock, deadline, error);
        if (room != 1) return room;
    }
}

void PauseSeconds(int seconds) {
    if (seconds <= 0) return;
    int ms = CapToNetworkBudget(SecondsToMilliseconds(seconds));
    BlockingWait pause;
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    // Slept out in full even when signals interrupt it.
    while (Clock::now() < until) std::this_thread::sleep_until(until);
}

int ReceiveOnce(int sock, char* buffer, int capacity, int timeoutMs, String& error) {
    Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    int wait = timeoutMs;
    for (;;) {
        if (WaitForSocket(sock, POLLIN, wait) != 1) {
            error = kTimeoutText;
            return kIpTimeout;
        }
        ssize_t n = recv(sock, buffer, static_cast<size_t>(capacity), MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == ETIMEDOUT) {
            error = kTimeoutText;
            return kIpTimeout;
        }
        if (errno != EINTR && !WouldBlock(errno)) {
            error = GetErrorStr(errno);
            return kIpReceiveError;
        }
        wait = MillisecondsLeft(deadline);  // a wake-up without data: wait for the rest
    }
}
