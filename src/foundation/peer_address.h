// The address of a connection's peer, IPv4 or IPv6. An IPv4 peer that reaches a dual-stack socket
// arrives as an IPv4-mapped IPv6 address; it is stored as the IPv4 address it stands for, so every
// list, log line and counter sees an IPv4 peer exactly as on an IPv4 socket.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

// Longest text Text() writes, with its terminating zero.
constexpr int kPeerTextSize = 46;

struct PeerAddress {
    int family = AF_INET;         // AF_INET or AF_INET6
    unsigned char bytes[16] = {};  // the address, network byte order; 4 bytes used for IPv4

    PeerAddress() = default;
    // An IPv4 address (network byte order); the all-zero address stands for no peer.
    PeerAddress(in_addr v4);  // NOLINT: implicit, so IPv4 callers read as before
    explicit PeerAddress(const in6_addr& v6);

    // From an address accept() or getpeername() filled in; IPv4-mapped IPv6 becomes IPv4. An
    // address of another family gives the all-zero IPv4 address.
    static PeerAddress FromSockaddr(const sockaddr* address, socklen_t length);

    // True for the all-zero IPv4 address, which stands for the agent itself in messages.
    bool IsNone() const;
    // True for 127.0.0.0/8 and ::1.
    bool IsLoopback() const;
    // Bytes of the address: 4 or 16.
    int Size() const { return family == AF_INET6 ? 16 : 4; }
    // The usual text form: dotted for IPv4, RFC 5952 for IPv6. `out` holds kPeerTextSize bytes.
    void Text(char* out) const;

    bool operator==(const PeerAddress& other) const;
};
