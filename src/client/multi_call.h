// The same request to many agents at once over non-blocking sockets: at most `parallel`
// connections are open at a time, each bounded by one time-out from connect to the reply's end.
// Replies are held within a memory budget: a reply that does not fit waits, unread, for room.
// Running out of descriptors holds the next connection back until one is free; a host is never
// reported unreachable for it.
#pragma once

#include <signal.h>

#include <functional>
#include <string>
#include <vector>

#include "client/client.h"

struct CallTarget {
    std::string host;
    int port = 0;
};

struct MultiCallOptions {
    std::string password;
    // TLS on every target (the agents' TLS port): one context, each target's certificate checked
    // against that target's own host name or address. Null: the plain port.
    TlsContextPtr tls;
    int parallel = 32;
    int timeoutMs = 10000;  // per host, from the connection attempt to the reply's end
    // Consulted before target `index` is started (targets start in order); false holds it back
    // until a later completion. Lets the caller bound what it buffers for in-order output.
    std::function<bool(size_t index)> mayStart;
    // Set (from a signal handler) to stop: open connections are closed and reported as
    // Interrupted, targets not started are not reported.
    volatile sig_atomic_t* stop = nullptr;
    // Signal mask while waiting (ppoll), so that a blocked SIGINT is taken only there.
    const sigset_t* waitMask = nullptr;
    // Bytes of replies that may be held at once, counting what the caller still holds
    // (heldByCaller); a reply larger than the room left waits until replies are let go, and one
    // always proceeds when nothing else is held.
    long long memoryBudget = 1LL << 30;
    std::function<long long()> heldByCaller;
};

// The connections that fit beside `reserve` descriptors kept free under the process's
// descriptor limit (at least 1).
int DescriptorRoom(int reserve);

// Calls every target with `requestText` (the command and its parameter lines, as
// BuildRequestText makes it). `done` receives each target's index and reply as it completes, in
// any order, on the calling thread. Host names are resolved first, a few at a time.
void RunMultiCall(const std::vector<CallTarget>& targets, const String& requestText,
                  const MultiCallOptions& options,
                  const std::function<void(size_t index, QdxReplyText reply)>& done);
