// Name resolution, address texts and the result codes shared by the outbound network functions.
// Peers are IPv4 or IPv6 addresses or names with addresses of either family. Every function here may run on many threads at once: lookups go through
// getaddrinfo and address texts through inet_ntop, both reentrant, so no lock is held while the
// resolver waits.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "foundation/string.h"

// Result codes of the outbound functions: positive is success (1 for a connection, otherwise a
// number of bytes), 0 a time-out or a TCP peer that closed without sending, negative an error.
constexpr int kIpTimeout = 0;
constexpr int kIpInitError = -1;  // never produced here
constexpr int kIpResolveError = -2;
constexpr int kIpSocketError = -3;
constexpr int kIpSendError = -4;
constexpr int kIpReceiveError = -5;
constexpr int kIpConnectError = -6;
constexpr int kIpLibraryError = -7;  // never produced here

// The short message of every code from -7 to 0, at index code + 7. The functions themselves
// report the more precise texts below (or the system's error text) through their error argument.
extern const char* const ipErrMsg[8];

extern const char kResolveFailedText[];  // "Cannot resolve server name to IP address"
extern const char kAddressFamilyText[];  // "Name resolution error: unknown address structure"
extern const char kTimeoutText[];        // "Timeout"

// The system's text for an error number, empty when there is none.
String GetErrorStr(int errnum);

// Writes the dotted text of `address` into buffer (at most size - 1 characters, always
// terminated when size > 0) and returns buffer.
char* inet_ntoa_safe(in_addr address, char* buffer, int size);

// Resolves a dotted address (read as inet_addr reads it, never looked up) or a host name to its
// first IPv4 address. Returns 1, or kIpResolveError with kResolveFailedText or kAddressFamilyText
// in error. A null name reads as empty.
int GetHostIP(const char* name, in_addr& address, String& error);

// The first address of this host's own name; 0.0.0.0 when the name cannot be had or resolved.
in_addr GetMyIP();

// The dotted text of an address.
String IP2String(in_addr address);

// One socket address of either family.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    int Family() const { return storage.ss_family; }
};

// The socket addresses of host and port, in the resolver's order of preference: an IPv4 address
// (read as inet_addr reads it) or an IPv6 literal ("::1", also "[::1]") as itself, a name as
// every address it has (a few at most). Returns 1; kIpResolveError with kResolveFailedText; or
// kIpConnectError with "Invalid port number" for a port outside 0 to 65535.
int ResolvePeer(const char* host, int port, std::vector<SocketAddress>& peers, String& error);
