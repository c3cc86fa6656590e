// One connection: read one request packet, answer it, close. After an accepted UpgradeCode the
// connection stays open for the new executable, and the transfer is answered too.
#pragma once

#include <netinet/in.h>

#include <cstddef>

#include "agent/session_table.h"
#include "foundation/peer_address.h"

class TlsStream;

// Largest request accepted, counted as the packet-length field does (bytes after the field).
// The biggest requests carry a script or a payload to send; 1 MiB holds any of them with room to
// spare while a flood of hostile connections costs at most 1 MiB of buffer each.
constexpr unsigned kMaxRequestPacket = 1u << 20;

// Memory that the partial requests of all sessions may pin together; beyond it the oldest partial
// request is dropped. 256 honest requests of the largest size fit at once.
constexpr size_t kPartialRequestMemory = size_t{256} << 20;

// Every running session; never destroyed.
SessionTable& Sessions();

// Serves the connection of `entry`, just admitted to Sessions(), to its end: counts it in the
// connection counters, reads one request within the idle and request time limits, answers it,
// closes the socket and leaves the table.
// `tls`: the connection's TLS stream, its handshake done, or null on the plain port.
void RunSession(SessionEntry& entry, const PeerAddress& peer, TlsStream* tls = nullptr);
