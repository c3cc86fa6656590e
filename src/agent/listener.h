// Opening the agent's listening TCP sockets.
#pragma once

#include <sys/socket.h>

#include "foundation/string.h"

// socket(2), or a stand-in that tests use to make a family fail.
using SocketOpener = int (*)(int domain, int type, int protocol);

// Opens one listening socket on host and service. A null host means every local address of both
// families: one IPv6 socket that also takes IPv4 peers, or IPv4 only where IPv6 is missing or
// disabled, with the reason in `note` (left empty otherwise). A host names an address of either
// family. Returns the socket, or 0 with the reason in `error`. The socket is close-on-exec.
int TcpListen(const char* host, const char* service, socklen_t* addrlen, String& error,
              String* note = nullptr, SocketOpener opener = nullptr);
int TcpListen(const char* host, int port, socklen_t* addrlen, String& error,
              String* note = nullptr);

// Lets as many connections wait on the listening `sock` as sessions may run (never fewer than
// 512; the system caps it), so a flood of connections that fills the sessions does not also fill
// the queue and make the system drop the attempts of other peers, whose retries would come a
// second or more later.
void SetListenBacklog(int sock, int maxsessions);

// Opens the listener on the configured "host" and the given port (the caller's reading of
// "port", so it knows which port it holds): up to three attempts with a pause of one second after
// each failure. The socket has TCP keepalive as "keepalive" says, for the connections it accepts,
// and a listen queue as long as "maxsessions" (SetListenBacklog). Returns the socket or 0 with the
// last error in `error`; `note`, when given, receives why an empty "host" listens on IPv4 only.
int Listen(int port, socklen_t& addrlen, String& error, String* note = nullptr);
