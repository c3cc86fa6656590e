// One connection: read one request packet, answer it, close. After an accepted UpgradeCode the
// connection stays open for the new executable, and the transfer is answered too.
#pragma once

#include <netinet/in.h>

// Largest request accepted, counted as the packet-length field does (bytes after the field).
// The biggest requests carry a script or a payload to send; 1 MiB holds any of them with room to
// spare while a flood of hostile connections costs at most 1 MiB of buffer each.
constexpr unsigned kMaxRequestPacket = 1u << 20;

// The session thread function; `arg` is a ThreadParams allocated with new, which it frees.
void* ClientExecute(void* arg);

// Starts a detached session thread for an accepted socket. On failure the socket is closed and
// the failure logged; the caller goes on accepting.
void StartSession(int sock, in_addr peer);
