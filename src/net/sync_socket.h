// A client socket that sends several pieces of data over one TCP connection or to one UDP peer.
// Owned by one thread; the socket is closed when the object goes.
#pragma once

#include "foundation/string.h"

class TSyncSocket {
public:
    static constexpr int kTcp = 1;  // any other type means UDP
    static constexpr int kUdp = 2;
    static constexpr int kReadLimit = 20480;

    explicit TSyncSocket(int type) : type_(type) {}
    ~TSyncSocket() { Disconnect(); }
    TSyncSocket(const TSyncSocket&) = delete;
    TSyncSocket& operator=(const TSyncSocket&) = delete;

    // TCP: PerformConnect with timeoutMs (0 waits as long as the system allows). UDP: resolves
    // host and fixes the peer of a UDP socket, so later sends need no address. Returns 1, 0 on a
    // TCP time-out, kIpResolveError, kIpSocketError or kIpConnectError with LastError() set. A
    // socket left from an earlier connection is closed first.
    int Connect(const char* host, int port, int timeoutMs);
    // Closes the socket (if any) and clears LastError().
    void Disconnect();
    // False without a socket; otherwise true unless a 5 ms wait for readability fails.
    bool Connected();

    // SendBuf on the text's bytes.
    int SendString(const String& text, int flags);
    // Sends all length bytes (flags are not used). Returns length, 0 for a length below 1 or
    // with "Timeout" when the peer took nothing for kSendLimitMs, or kIpSendError.
    int SendBuf(const char* buffer, int length, int flags);
    // Empties text, waits up to timeoutMs for data and appends what one recv of at most
    // kReadLimit bytes gives. Returns the bytes received, 0 with "Timeout" (or when the peer
    // closed), or kIpReceiveError.
    int ReadString(String& text, int timeoutMs);

    int Socket() const { return sock_; }
    int Type() const { return type_; }
    // The text of the last error; empty after a success.
    const String& LastError() const { return lasterror_; }

private:
    int ConnectUdp(const char* host, int port);

    int sock_ = -1;
    int type_;
    String lasterror_;
};
