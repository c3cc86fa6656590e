// The main loop: carries out the process-wide requests and owns the listener, which the session
// threads accept on (session_threads.h).
#pragma once

#include <sys/socket.h>

#include "net/tls.h"

struct AgentProcess {
    char** argv;              // kept for re-execution
    int listener;             // listening socket
    socklen_t addrlen;        // address length the listener reported
    int listeningPort;        // the port `listener` is bound to
    int pidfile;              // open PID file or -1
    bool daemon;              // daemon mode: keeps a PID file
    int commandLinePort = 0;  // the port given with -p, which any restart keeps; 0 when none
    int tlsListener = 0;      // the TLS port's listening socket, 0 when there is none
    TlsContextPtr tls;        // its context, made at start-up from the TLS settings
};

// The TLS listener on "tlsport" under the agent's context: the socket, or 0 with `error`.
int OpenTlsListener(AgentProcess& agent, String& error);

// Hands the listener to the session threads and runs for the life of the process, waking once a
// second to act on terminate, restart, upgrade, reload and port-change requests, in that order,
// and to apply changed settings. A port change keeps the old listener until the new port listens,
// and keeps it for good when the new port cannot be opened.
[[noreturn]] void RunMainLoop(AgentProcess& agent);
