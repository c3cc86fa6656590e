// Right lists from the configuration and from SetSettings, matched against peer addresses.
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
    uint32_t numeric = 0;
    std::memcpy(&numeric, data, size < sizeof numeric ? size : sizeof numeric);
    (void)IPAllowed(numeric, list, error);
    return 0;
}
