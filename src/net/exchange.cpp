#include "net/exchange.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <vector>

#include "net/resolve.h"
#include "net/socket_io.h"

namespace {

void CloseSocket(int& sock) {
    if (sock >= 0) close(sock);
    sock = -1;
}

// Waits for a connect in progress to finish and reads its outcome from the socket itself.
int FinishConnect(int sock, int timeoutMs, String& error) {
    int ready = WaitForSocket(sock, POLLOUT, timeoutMs);
    if (ready == 0) {
        error = kTimeoutText;
        return kIpTimeout;
    }
    if (ready < 0) {
        error = GetErrorStr(errno);
        return kIpConnectError;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        error = GetErrorStr(errno);
        return kIpConnectError;
    }
    if (pending != 0 || length != sizeof pending) {
        error = GetErrorStr(pending != 0 ? pending : EINVAL);
        return kIpConnectError;
    }
    return 1;
}

bool ConnectInProgress(int error) {
    return error == EINPROGRESS || error == EALREADY || error == EISCONN || error == EINTR;
}

bool SetNonBlocking(int sock, int on, String& error) {
    if (ioctl(sock, FIONBIO, &on) == 0) return true;
    error = "ioctl error - ";
    error += GetErrorStr(errno);
    return false;
}

using Clock = std::chrono::steady_clock;

// One connect to `peer` on a new non-blocking socket in sock, waiting at most waitMs.
int ConnectTo(const SocketAddress& peer, int& sock, int waitMs, String& error) {
    int result = OpenSocketFor(SOCK_STREAM, peer, sock, error);
    if (result != 1) return result;
    if (!SetNonBlocking(sock, 1, error)) return kIpSocketError;
    if (connect(sock, peer.Get(), peer.length) != 0 && !ConnectInProgress(errno)) {
        error = GetErrorStr(errno);
        return kIpConnectError;
    }
    return FinishConnect(sock, waitMs, error);
}

}  // namespace

int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& error) {
    error = "";
    sock = -1;
    std::vector<SocketAddress> peers;
    int result = ResolvePeer(host, port, peers, error);
    if (result != 1) return result;
    return ConnectToAny(peers, timeoutMs, sock, error);
}

int ConnectToAny(const std::vector<SocketAddress>& peers, int timeoutMs, int& sock,
                 String& error) {
    sock = -1;
    int result = kIpConnectError;
    // Each address of a name in turn, within the one time-out: a refused or unreachable address
    // gives way to the next at once, a silent one keeps the rest of the time.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t i = 0; i < peers.size(); i++) {
        int wait = INT_MAX;
        if (timeoutMs != 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (i > 0 && left <= 0) break;  // the first address always gets its try
            wait = i == 0 ? timeoutMs : static_cast<int>(left);
        }
        CloseSocket(sock);
        error = "";
        result = ConnectTo(peers[i], sock, wait, error);
        if (result == 1) {
            // Without a time-out the connect waits as long as the system lets it run, as a
            // blocking connect would, and the socket is blocking afterwards like one.
            if (timeoutMs == 0 && !SetNonBlocking(sock, 0, error)) return kIpSocketError;
            return 1;
        }
    }
    return result;
}

int TCPConnect(const char* host, int port, int timeoutMs, String& error) {
    int sock = -1;
    int result = PerformConnect(sock, host, port, timeoutMs, error);
    CloseSocket(sock);
    return result;
}

int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuffer,
                         char* receiveBuffer, int sendLength, int receiveCapacity, String& error) {
    int sock = -1;
    int result = PerformConnect(sock, host, port, timeoutMs, error);
    if (result == 1 && sendLength > 0) {
        int sent = SendWhole(sock, sendBuffer, sendLength, timeoutMs > 0 ? timeoutMs : kSendLimitMs,
                             error);
        if (sent != sendLength) result = sent;
    }
    if (result == 1 && receiveCapacity > 0)
        result = ReceiveOnce(sock, receiveBuffer, receiveCapacity, timeoutMs, error);
    CloseSocket(sock);
    return result;
}

int SendReceiveUDPPacket(const char* host, int port, int timeoutSeconds, const char* sendBuffer,
                         char* receiveBuffer, int sendLength, int receiveCapacity, String& error) {
    error = "";
    // A datagram gives no sign whether anyone took it: the first address of a name is the peer.
    std::vector<SocketAddress> peers;
    int result = ResolvePeer(host, port, peers, error);
    if (result != 1) return result;
    int sock = -1;
    result = OpenSocketFor(SOCK_DGRAM, peers.front(), sock, error);
    if (result != 1) return result;
    result = 0;
    if (sendLength > 0) {
        result = SendDatagram(sock, sendBuffer, sendLength, peers.front(), error);
        if (result < 0) {
            CloseSocket(sock);
            return result;
        }
    }
    if (receiveCapacity > 0)  // sets error only on failure; it is empty until then
        result = ReceiveOnce(sock, receiveBuffer, receiveCapacity,
                             SecondsToMilliseconds(timeoutSeconds), error);
    CloseSocket(sock);
    return result;
}
