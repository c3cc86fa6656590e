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

bool SetNonBlocking(int sock, int on, String& error) {
    if (ioctl(sock, FIONBIO, &on) == 0) return true;
    error = "ioctl error - ";
    error += GetErrorStr(errno);
    return false;
}

}  // namespace

int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& error) {
    error = "";
    sockaddr_in peer;
    int result = OpenSocketFor(SOCK_STREAM, host, port, peer, sock, error);
    if (result != 1) return result;
    if (!SetNonBlocking(sock, 1, error)) return kIpSocketError;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
        !ConnectInProgress(errno)) {
        error = GetErrorStr(errno);
        return kIpConnectError;
    }
    if (timeoutMs != 0) return FinishConnect(sock, timeoutMs, error);
    // Without a time-out the connect waits as long as the system lets it run, as a blocking
    // connect would, and the socket is blocking afterwards like one.
    result = FinishConnect(sock, INT_MAX, error);
    if (result == 1 && !SetNonBlocking(sock, 0, error)) return kIpSocketError;
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
    sockaddr_in peer;
    int sock = -1;
    int result = OpenSocketFor(SOCK_DGRAM, host, port, peer, sock, error);
    if (result != 1) return result;
    result = 0;
    if (sendLength > 0) {
        result = SendDatagram(sock, sendBuffer, sendLength, peer, error);
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
