// The system log of this host: datagrams to the socket its log daemon reads (Linux /dev/log, where
// journald or rsyslog listen; FreeBSD /var/run/log, syslogd's). local_log.cpp sends,
// local_log_linux.cpp and local_log_freebsd.cpp name the socket.
#pragma once

#include <cstddef>

// Sends one datagram (a message in the local syslog layout, "<PRI>Mmm dd hh:mm:ss tag: text")
// without waiting: it is dropped when no log daemon listens or its queue is full, so a stalled
// daemon never holds up the caller. Safe from any thread; the socket is close-on-exec.
void SendToLocalLog(const char* datagram, size_t length);

// The socket path of this system's log daemon.
const char* LocalLogSocketPath();

// Sends to `path` instead (null: the system's socket again). For tests.
void SetLocalLogPathForTesting(const char* path);
