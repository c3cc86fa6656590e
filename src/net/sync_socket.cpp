#include "net/sync_socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/exchange.h"
#include "net/resolve.h"
#include "net/socket_io.h"

int TSyncSocket::Connect(const char* host, int port, int timeoutMs) {
    Disconnect();
    if (type_ == kTcp) return PerformConnect(sock_, host, port, timeoutMs, lasterror_);
    return ConnectUdp(host, port);
}

int TSyncSocket::ConnectUdp(const char* host, int port) {
    // A datagram gives no sign whether anyone took it: the first address of a name is the peer.
    std::vector<SocketAddress> peers;
    int result = ResolvePeer(host, port, peers, lasterror_);
    if (result != 1) return result;
    result = OpenSocketFor(SOCK_DGRAM, peers.front(), sock_, lasterror_);
    if (result != 1) return result;
    if (connect(sock_, peers.front().Get(), peers.front().length) != 0) {
        lasterror_ = GetErrorStr(errno);
        return kIpConnectError;  // the socket stays for Disconnect
    }
    return 1;
}

void TSyncSocket::Disconnect() {
    lasterror_ = "";
    if (sock_ >= 0) close(sock_);
    sock_ = -1;
}

bool TSyncSocket::Connected() {
    if (sock_ == -1) return false;
    return WaitForSocket(sock_, POLLIN, 5) >= 0;
}

int TSyncSocket::SendString(const String& text, int flags) {
    return SendBuf(text.Data(), text.Length(), flags);
}

int TSyncSocket::SendBuf(const char* buffer, int length, int) {
    lasterror_ = "";
    if (length < 1) return 0;
    return SendWhole(sock_, buffer, length, kSendLimitMs, lasterror_);
}

int TSyncSocket::ReadString(String& text, int timeoutMs) {
    lasterror_ = "";
    text.SetLength(kReadLimit);
    int received = ReceiveOnce(sock_, text.Data(), kReadLimit, timeoutMs, lasterror_);
    text.SetLength(received > 0 ? received : 0);
    return received;
}
