// The main loop: carries out the process-wide requests and accepts connections.
#pragma once

#include <sys/socket.h>

struct AgentProcess {
    char** argv;        // kept for re-execution
    int listener;       // listening socket
    socklen_t addrlen;  // address length the listener reported
    int listeningPort;  // the port `listener` is bound to
    int pidfile;        // open PID file or -1
    bool daemon;        // daemon mode: keeps a PID file
};

// Runs for the life of the process. Wakes at least once a second to act on terminate, restart,
// upgrade, reload and port-change requests, in that order; otherwise accepts connections,
// applies the connection filter and starts a session for each. A port change keeps the old
// listener until the new port listens, and keeps it for good when the new port cannot be opened.
[[noreturn]] void AcceptLoop(AgentProcess& agent);
