// Bounded waiting, sending and receiving on one socket: the building blocks of the outbound
// exchanges. No call here waits longer than the time it is given, nor beyond the calling thread's
// network wait budget (net/wait_budget.h), and none waits for ever. Every wait is a BlockingWait:
// a session thread hands its accept turn over meanwhile.
#pragma once

#include <netinet/in.h>

#include "foundation/string.h"
#include "net/resolve.h"

// Makes a close-on-exec socket of `type` (SOCK_STREAM or SOCK_DGRAM) for the family of peer in
// sock. Returns 1, or kIpSocketError with the system's error text and sock -1.
int OpenSocketFor(int type, const SocketAddress& peer, int& sock, String& error);

// Waits with poll until `events` are ready on sock. Returns 1 when ready (an error or hang-up
// on the socket counts as ready), 0 when timeoutMs passed (or the budget ran out), -1 with errno
// on failure. A negative time-out fails at once with EINVAL. An interrupted wait goes on with the
// time that is left.
int WaitForSocket(int sock, short events, int timeoutMs);

// A time-out in seconds as milliseconds, kept within int (negative stays negative).
int SecondsToMilliseconds(int seconds);

// Sends all `length` bytes without ever blocking in send, waiting at most limitMs in all for
// room in the socket buffer. Returns length; 0 with "Timeout" when the peer did not take the
// bytes in time; kIpSendError with the system's error text.
int SendWhole(int sock, const char* data, int length, int limitMs, String& error);

// Sends one datagram of `length` bytes to peer without ever blocking in sendto, waiting at most
// kSendLimitMs for room. Returns the bytes sent; 0 with "Timeout"; kIpSendError with the
// system's error text.
int SendDatagram(int sock, const char* data, int length, const SocketAddress& peer, String& error);

// Sleeps `seconds` (nothing for 0 or less), or until the network wait budget is spent.
void PauseSeconds(int seconds);

// How long a send may wait for a peer that does not read when no time-out applies.
constexpr int kSendLimitMs = 60000;

// Waits up to timeoutMs for data, then makes one recv of at most capacity bytes. Returns the
// number of bytes (0 when the peer closed, error untouched); 0 with "Timeout" when nothing came
// in time (a negative time-out included); kIpReceiveError with the system's error text.
int ReceiveOnce(int sock, char* buffer, int capacity, int timeoutMs, String& error);
