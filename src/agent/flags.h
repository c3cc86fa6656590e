// Process-wide requests that sessions and signal handlers raise and the accept loop carries out,
// and the record handed from the accept loop to a session thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <ctime>
#include <mutex>

#include "foundation/peer_address.h"
#include "foundation/string.h"

struct TQDXFlags {
    std::atomic<int> upgrading{0};  // an upgrade transfer is reserved by some session
    std::atomic<int> terminate{0};  // QUIT was accepted
    std::atomic<int> restart{0};    // re-execute the agent
    std::atomic<int> upgrade{0};    // run the upgrade script
    std::atomic<int> reload{0};     // the hang-up signal asked for a configuration reload
    String upgradescript;           // guarded by thread_mutex
    time_t starttime = time(nullptr);
};

extern TQDXFlags QDXFlags;

// Guards the connection counters' hand-over at session end and `upgradescript`.
extern std::mutex thread_mutex;

// Ends the process with `code` after flushing the standard streams. Static destructors are
// skipped: sessions may still be running on other threads and using what they would destroy.
[[noreturn]] void EndProcess(int code);

class TlsStream;

struct ThreadParams {
    int sock;
    PeerAddress addr;
    TlsStream* tls = nullptr;  // the connection's TLS, or null on the plain port
};
