#include "net/exchange.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

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

}  // namespace

int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& error) {
    error = "";
    sockaddr_in peer;
    int result = OpenSocketFor(SOCK_STREAM, host, port, peer, sock, error);
    if (result != 1) return result;
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&peer);
    if (timeoutMs == 0) {
        if (connect(sock, address, sizeof peer) == 0) return 1;
        // A blocking connect cut short by a signal goes on in the background; wait for it
        // as long as the system lets it run.
        if (errno == EINTR) return FinishConnect(sock, INT_MAX, error);
        error = GetErrorStr(errno);
        return kIpConnectError;
    }
    int on = 1;
    if (ioctl(sock, FIONBIO, &on) != 0) {
        error = "ioctl error - ";
        error += GetErrorStr(errno);
        return kIpSocketError;
    }
    if (connect(sock, address, sizeof peer) != 0 && !ConnectInProgress(errno)) {
        error = GetErrorStr(errno);
        return kIpConnectError;
    }
    return FinishConnect(sock, timeoutMs, error);
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
    sockaddr_in peer;
    int sock = -1;
    int result = OpenSocketFor(SOCK_DGRAM, host, port, peer, sock, error);
    if (result != 1) return result;
    result = 0;
    if (sendLength > 0) {
        ssize_t sent;
        do {
            sent = sendto(sock, sendBuffer, static_cast<size_t>(sendLength), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            error = GetErrorStr(errno);
            CloseSocket(sock);
            return kIpSendError;
        }
        result = static_cast<int>(sent);
    }
    if (receiveCapacity > 0)  // sets error only on failure; it is empty until then
        result = ReceiveOnce(sock, receiveBuffer, receiveCapacity,
                             SecondsToMilliseconds(timeoutSeconds), error);
    CloseSocket(sock);
    return result;
}
