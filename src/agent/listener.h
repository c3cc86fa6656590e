// Opening the agent's listening TCP socket.
#pragma once

#include <sys/socket.h>

#include "foundation/string.h"

// Opens one listening IPv4 socket on host (null: all local addresses) and service. Returns the
// socket, or 0 with the reason in `error`. The socket is close-on-exec.
int TcpListen(const char* host, const char* service, socklen_t* addrlen, String& error);
int TcpListen(const char* host, int port, socklen_t* addrlen, String& error);

// Lets as many connections wait on the listening `sock` as sessions may run (never fewer than
// 512; the system caps it), so a flood of connections that fills the sessions does not also fill
// the queue and make the system drop the attempts of other peers, whose retries would come a
// second or more later.
void SetListenBacklog(int sock, int maxsessions);

// Opens the listener on the configured "host" and the given port (the caller's reading of
// "port", so it knows which port it holds): up to three attempts with a pause of one second after
// each failure. The socket has TCP keepalive as "keepalive" says, for the connections it accepts,
// and a listen queue as long as "maxsessions" (SetListenBacklog). Returns the socket or 0 with the
// last error in `error`.
int Listen(int port, socklen_t& addrlen, String& error);
