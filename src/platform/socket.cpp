// The socket facilities both systems spell the same way; socket_linux.cpp and socket_freebsd.cpp
// hold the rest.
#include "platform/socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

// The longest idle time every system accepts for TCP_KEEPIDLE.
constexpr int kLongestKeepIdle = 32767;
constexpr int kProbes = 3;

int SetInt(int sock, int level, int name, int value) {
    return setsockopt(sock, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

}  // namespace

int SetTcpKeepalive(int sock, int idleSeconds) {
    if (idleSeconds <= 0) return SetInt(sock, SOL_SOCKET, SO_KEEPALIVE, 0);
    int idle = idleSeconds < kLongestKeepIdle ? idleSeconds : kLongestKeepIdle;
    int interval = idle / kProbes > 0 ? idle / kProbes : 1;
    if (int error = SetInt(sock, IPPROTO_TCP, TCP_KEEPIDLE, idle)) return error;
    if (int error = SetInt(sock, IPPROTO_TCP, TCP_KEEPINTVL, interval)) return error;
    if (int error = SetInt(sock, IPPROTO_TCP, TCP_KEEPCNT, kProbes)) return error;
    return SetInt(sock, SOL_SOCKET, SO_KEEPALIVE, 1);
}

void WakeBlockedAccepts(int listener) {
    // Shut down, a listening socket takes no more connections and accept() returns an error in
    // every thread blocked on it (EINVAL on Linux, ECONNABORTED on FreeBSD).
    shutdown(listener, SHUT_RDWR);
}
