// One-shot exchanges with other hosts: a TCP connect with a time-out, one TCP send and receive,
// one UDP datagram and its answer. Results are the codes of net/resolve.h; on failure `error`
// holds the reason ("Timeout", a resolver text or the system's error text). IPv4 and IPv6; safe to
// call from many threads at once. Every socket is close-on-exec.
#pragma once

#include <vector>

#include "foundation/string.h"
#include "net/resolve.h"

// Connects a new TCP socket to host:port. With timeoutMs 0 the connect waits as long as the
// system's own connect time-out and the connected socket is blocking; otherwise the connect is
// given timeoutMs and the socket stays non-blocking (a negative time-out fails with the system's
// text for an invalid argument). Either wait ends with "Timeout" when the thread's network wait
// budget runs out.
// Returns 1 (sock connected), 0 with "Timeout", kIpResolveError, kIpSocketError or
// kIpConnectError (a refused connection carries the socket's pending error). On every failure
// after the socket was made, sock stays open for the caller to close; otherwise it is -1.
int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& error);

// The connect of PerformConnect to each of `peers` in turn until one takes it, all within the one
// timeoutMs: a refused or unreachable address gives way to the next at once, a silent one keeps
// the rest of the time. Returns as PerformConnect, with the last address's failure.
int ConnectToAny(const std::vector<SocketAddress>& peers, int timeoutMs, int& sock, String& error);

// PerformConnect as a probe: the socket is closed before returning.
int TCPConnect(const char* host, int port, int timeoutMs, String& error);

// Connects (as PerformConnect), sends the sendLength bytes when sendLength > 0 and, when
// receiveCapacity > 0, waits up to timeoutMs for data and makes one recv of at most
// receiveCapacity bytes into receiveBuffer. Sending is bounded by timeoutMs too (by 60 seconds
// when it is 0). Returns the bytes received (0 when the peer closed without sending, error
// empty), 1 when nothing was to be received, 0 with "Timeout", or a negative code.
int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuffer,
                         char* receiveBuffer, int sendLength, int receiveCapacity, String& error);

// Sends one datagram of sendLength bytes when sendLength > 0 and, when receiveCapacity > 0,
// waits timeoutSeconds for one datagram from anyone and takes at most receiveCapacity bytes of
// it. Returns the bytes received, or the bytes sent when nothing was to be received (0 when
// both lengths are 0: nothing is sent or awaited); 0 with "Timeout"; or a negative code. Error
// is empty on success.
int SendReceiveUDPPacket(const char* host, int port, int timeoutSeconds, const char* sendBuffer,
                         char* receiveBuffer, int sendLength, int receiveCapacity, String& error);
