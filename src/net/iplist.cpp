#include "net/iplist.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

// Longest entry text worth reading: a range of two IPv6 addresses with some blanks.
constexpr size_t kLongestEntry = 160;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One address of either family into `bytes`; `family` tells which.
bool ReadAddress(const std::string& text, V4Form form, int& family, unsigned char* bytes) {
    if (text.empty()) return false;
    if (text.find(':') != std::string::npos) {
        family = AF_INET6;
        return inet_pton(AF_INET6, text.c_str(), bytes) == 1;
    }
    family = AF_INET;
    if (form == V4Form::Dotted) return inet_pton(AF_INET, text.c_str(), bytes) == 1;
    // inet_addr's failure value is also the address 255.255.255.255, which never reads.
    in_addr_t address = inet_addr(text.c_str());
    if (address == INADDR_NONE) return false;
    std::memcpy(bytes, &address, 4);
    return true;
}

bool ReadPrefixLength(const std::string& text, int most, int& bits) {
    if (text.empty() || text.size() > 3) return false;
    bits = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        bits = bits * 10 + (c - '0');
    }
    return bits <= most;
}

int Size(int family) {
    return family == AF_INET6 ? 16 : 4;
}

// Calls `entry` for each entry of `list` (separated by any of `separators`), until it returns true.
template <typename Visit>
bool ForEachEntry(const String& list, const char* separators, Visit entry) {
    const char* data = list.Data();
    const int length = list.Length();
    int start = 0;
    while (start <= length) {
        int end = start;
        while (end < length && std::strchr(separators, data[end]) == nullptr) end++;
        if (end > start && entry(std::string(data + start, static_cast<size_t>(end - start))))
            return true;
        start = end + 1;
    }
    return false;
}

bool BlankOnly(const std::string& entry) {
    for (char c : entry)
        if (!IsBlank(c)) return false;
    return true;
}

}  // namespace

bool AddressRange::Contains(const PeerAddress& peer) const {
    if (peer.family != family) return false;
    int size = Size(family);
    return std::memcmp(peer.bytes, low, size) >= 0 && std::memcmp(peer.bytes, high, size) <= 0;
}

bool ParseAddressEntry(const std::string& entry, V4Form form, AddressRange& range) {
    if (entry.size() > kLongestEntry) return false;
    std::string text;
    for (char c : entry)
        if (!IsBlank(c)) text += c;
    size_t slash = text.find('/');
    size_t dash = text.find('-');
    if (slash != std::string::npos) {
        int bits = 0;
        // A prefix takes the dotted form only: "10/8" would otherwise read as 0.0.0.10.
        if (dash != std::string::npos ||
            !ReadAddress(text.substr(0, slash), V4Form::Dotted, range.family, range.low))
            return false;
        if (!ReadPrefixLength(text.substr(slash + 1), Size(range.family) * 8, bits)) return false;
        for (int i = 0; i < Size(range.family); i++) {
            int keep = bits - i * 8;
            auto mask = static_cast<unsigned char>(keep >= 8 ? 0xFF : (keep <= 0 ? 0 : 0xFF << (8 - keep)));
            range.low[i] &= mask;
            range.high[i] = static_cast<unsigned char>(range.low[i] | ~mask);
        }
        return true;
    }
    if (dash == std::string::npos || dash + 1 == text.size()) {
        if (!ReadAddress(text.substr(0, dash), form, range.family, range.low)) return false;
        std::memcpy(range.high, range.low, sizeof range.low);
        return true;
    }
    int second = AF_INET;
    unsigned char other[16] = {};
    if (!ReadAddress(text.substr(0, dash), form, range.family, range.low) ||
        !ReadAddress(text.substr(dash + 1), form, second, other) || second != range.family)
        return false;
    if (std::memcmp(other, range.low, Size(range.family)) < 0) {
        std::memcpy(range.high, range.low, sizeof range.high);
        std::memcpy(range.low, other, sizeof range.low);
    } else {
        std::memcpy(range.high, other, sizeof range.high);
    }
    return true;
}

bool IPAllowed(const PeerAddress& peer, const String& list, String& error) {
    error = String();
    return ForEachEntry(list, ",", [&](const std::string& entry) {
        if (BlankOnly(entry)) return false;
        AddressRange range;
        if (ParseAddressEntry(entry, V4Form::Lenient, range)) return range.Contains(peer);
        if (error.Length() == 0) {
            error = "Invalid IP address (";
            error += entry.c_str();
            error += ") specified";
        }
        return false;
    });
}

bool IPAllowed(const char* address, const String& list, String& error) {
    error = String();
    if (address == nullptr) return false;
    unsigned char bytes[16];
    if (inet_pton(AF_INET, address, bytes) == 1) {
        in_addr v4;
        std::memcpy(&v4, bytes, 4);
        return IPAllowed(PeerAddress(v4), list, error);
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, address, &v6) == 1) return IPAllowed(PeerAddress(v6), list, error);
    return false;
}

bool FilterAdmits(const String& activeList, const PeerAddress& peer) {
    return ForEachEntry(activeList, "\r\n", [&](const std::string& entry) {
        AddressRange range;
        return ParseAddressEntry(entry, V4Form::Dotted, range) && range.Contains(peer);
    });
}

std::vector<std::string> AddressListWarnings(const String& filterlist, const String& manageaddr,
                                             const String& updateaddr) {
    std::vector<std::string> lines;
    const struct {
        const char* name;
        const String& list;
        bool filter;
    } lists[] = {{"filterlist", filterlist, true},
                 {"manageaddr", manageaddr, false},
                 {"updateaddr", updateaddr, false}};
    for (const auto& list : lists)
        for (const std::string& entry : UnreadableEntries(list.list, list.filter))
            lines.push_back(std::string(list.name) + ": \"" + entry +
                            "\" is not an address, a range a-b or a prefix; it matches nothing");
    return lines;
}

std::vector<std::string> UnreadableEntries(const String& list, bool filter) {
    std::vector<std::string> bad;
    ForEachEntry(list, filter ? " \t\r\n" : ",", [&](const std::string& entry) {
        AddressRange range;
        if (!BlankOnly(entry) &&
            !ParseAddressEntry(entry, filter ? V4Form::Dotted : V4Form::Lenient, range))
            bad.push_back(entry);
        return false;
    });
    return bad;
}
