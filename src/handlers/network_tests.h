// The network tests: one TCP exchange ("TEST-TCP") and one UDP exchange with retries
// ("TEST-UDP") with another host, timed in milliseconds.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// "TEST-TCP", switch "tcp": host, port, time-out (ms, 0 means 120000), data, bytes to receive.
// "200", the milliseconds taken and the bytes received (escaped); or "301", the error text and
// the result code (0 for a time-out, negative for other failures).
void ProcessTest_TCP(const ZPRequest& request, QDXReply& reply);

// "TEST-UDP", switch "udp": host, port, time-out (ms, used in whole seconds), attempts,
// datagram, bytes to receive. Replies as TEST-TCP, about the first attempt that succeeded or
// the last one that failed.
//
// Both wait kMaxNetworkWaitSeconds at most in all (net/wait_budget.h): TEST-TCP's connect, send
// and receive together, TEST-UDP's attempts together. Reached, the reply is that of a time-out:
// "301", "Timeout" and 0.
void ProcessTest_UDP(const ZPRequest& request, QDXReply& reply);
