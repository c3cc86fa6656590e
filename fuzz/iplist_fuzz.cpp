// Address lists from the configuration and from SetSettings (IPv4 and IPv6 addresses, ranges and
// prefixes), matched against peer addresses of both families.
// Input: the list text, a NUL, then the address text.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/string.h"
#include "net/iplist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(text, '\0', size);
    size_t listLength = nul != nullptr ? static_cast<const char*>(nul) - text : size;
    String list(text, static_cast<int>(listLength));
    String address;
    if (listLength < size)
        address = String(text + listLength + 1, static_cast<int>(size - listLength - 1));
    address.SetZero();

    String error;
    (void)IPAllowed(address.Data() != nullptr ? address.Data() : "", list, error);
    (void)FilterAdmits(list, PeerAddress());
    (void)UnreadableEntries(list, true);
    (void)AddressListWarnings(list, list, list);

    // The first bytes as a peer of either family.
    in6_addr v6{};
    std::memcpy(&v6, data, size < sizeof v6 ? size : sizeof v6);
    PeerAddress six(v6);
    (void)IPAllowed(six, list, error);
    (void)FilterAdmits(list, six);
    in_addr v4{};
    std::memcpy(&v4, data, size < sizeof v4 ? size : sizeof v4);
    (void)IPAllowed(PeerAddress(v4), list, error);
    return 0;
}
