// The two checks of the upgrade script, as shell functions for /bin/sh. After the hand-over the
// agent's own code is gone: the script, running with the agent's process id, is what waits for the
// new executable, so the checks are shell text written into it.
//
//   qdx_listens PID PORT  succeeds when process PID owns a TCP socket listening on PORT (IPv4 or
//                         IPv6); with an empty PID, when any process does. A probe connection
//                         would do instead, but the agent counts and logs every connection.
//   qdx_running PID       succeeds while process PID exists and has not ended; a process that
//                         has ended and waits for its parent to collect its status has ended.
//
// What each system reads:
// - Linux: the listening sockets of /proc/net/tcp and /proc/net/tcp6 (state 0A, the port in hex)
//   give socket inodes, which the process owns when /proc/PID/fd holds a link to "socket:[inode]";
//   the state letter after the name in /proc/PID/stat tells an ended process (Z, X).
// - FreeBSD: sockstat -l lists the listening sockets with the process ids that hold them; ps -o
//   state tells an ended process (Z).
#pragma once

// The definitions of qdx_listens and qdx_running, LF-ended lines.
const char* UpgradeShellChecks();
