// Socket facilities whose options or effects differ between systems: socket.cpp holds what both
// spell alike, socket_linux.cpp and socket_freebsd.cpp the rest.
#pragma once

// Switches TCP keepalive on for `sock` with the first probe after `idleSeconds` of silence and
// three more probes a third of that apart, so a peer that vanished without closing is found after
// about twice `idleSeconds`; 0 switches keepalive off. Set on a listening socket, the options pass
// to every connection it accepts. Returns 0 or the system's error number.
int SetTcpKeepalive(int sock, int idleSeconds);

// Makes every thread blocked in accept() on `listener` return, and the listener refuse new
// connections, so that it can then be closed without a thread still waiting on it.
void WakeBlockedAccepts(int listener);

// Drops every packet that arrives for `sock` before the TCP layer sees it: the socket then behaves
// as a host that vanished without closing (it answers nothing, not even keepalive probes). For
// tests and benchmarks. Returns false where the system has no way to do it.
bool IgnoreIncomingPackets(int sock);

// The flags for send() of a reply after which only the end of the connection follows: where the
// system can hold the bytes back until the shutdown, they leave together with it in one segment.
int LastSendFlags();
