#include "foundation/peer_address.h"

#include <arpa/inet.h>

#include <cstring>

PeerAddress::PeerAddress(in_addr v4) {
    std::memcpy(bytes, &v4, 4);
}

PeerAddress::PeerAddress(const in6_addr& v6) {
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(bytes, v6.s6_addr + 12, 4);
        return;
    }
    family = AF_INET6;
    std::memcpy(bytes, v6.s6_addr, 16);
}

PeerAddress PeerAddress::FromSockaddr(const sockaddr* address, socklen_t length) {
    if (address == nullptr) return PeerAddress();
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in))
        return PeerAddress(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6))
        return PeerAddress(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    return PeerAddress();
}

bool PeerAddress::IsNone() const {
    return family == AF_INET && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0;
}

bool PeerAddress::IsLoopback() const {
    if (family == AF_INET) return bytes[0] == 127;
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, kLoopback, 16) == 0;
}

void PeerAddress::Text(char* out) const {
    if (inet_ntop(family, bytes, out, kPeerTextSize) == nullptr) out[0] = '\0';
}

bool PeerAddress::operator==(const PeerAddress& other) const {
    return family == other.family && std::memcmp(bytes, other.bytes, 16) == 0;
}
