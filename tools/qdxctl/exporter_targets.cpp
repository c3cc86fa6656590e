#include "exporter_targets.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
           c == ':';
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool Port(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

// Splits "HOST:PORT", "[V6]:PORT", "HOST", "[V6]" or a bare IPv6 address. `network` lets the host
// be a network ("ADDRESS/BITS") as well.
bool SplitHostPort(const std::string& text, bool network, std::string& host, int& port,
                   std::string& error) {
    port = 0;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "'" + text + "': no closing ']'";
            return false;
        }
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') {
            error = "'" + text + "': only :PORT may follow ']'";
            return false;
        }
    } else {
        size_t colon = text.find(':');
        bool oneColon = colon != std::string::npos && text.find(':', colon + 1) == std::string::npos;
        host = oneColon ? text.substr(0, colon) : text;
        rest = oneColon ? text.substr(colon) : "";
    }
    if (!rest.empty() && !Port(rest.substr(1), port)) {
        error = "'" + text + "': the port must be 1 to 65535";
        return false;
    }
    host = Lower(host);
    if (host.empty()) {
        error = "'" + text + "': no host";
        return false;
    }
    for (char c : host)
        if (!HostCharacter(c) && !(network && c == '/')) {
            error = "'" + text + "': not a host name or an address";
            return false;
        }
    return true;
}

// The address as 16 bytes (IPv4 in the first 4); false when `host` is no address literal.
bool Address(const std::string& host, bool& v6, unsigned char bytes[16]) {
    std::memset(bytes, 0, 16);
    if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
        v6 = false;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
        v6 = true;
        return true;
    }
    return false;
}

bool NotAbove(const unsigned char a[16], const unsigned char b[16]) {
    return std::memcmp(a, b, 16) <= 0;
}

}  // namespace

bool ParseProbeTarget(const std::string& text, ProbeTarget& target, std::string& error) {
    return SplitHostPort(text, false, target.host, target.port, error);
}

bool TargetList::Add(const std::string& text, std::string& error) {
    Entry entry;
    // A port after a network or a range: "192.0.2.0/24:1055".
    std::string host;
    if (!SplitHostPort(text, true, host, entry.port, error)) return false;
    size_t slash = host.find('/'), dash = host.find('-');
    bool v6High = false;
    if (slash != std::string::npos) {
        int bits = -1;
        std::string prefix = host.substr(slash + 1);
        if (!Address(host.substr(0, slash), entry.v6, entry.low) || prefix.empty() ||
            prefix.size() > 3 || prefix.find_first_not_of("0123456789") != std::string::npos ||
            (bits = std::stoi(prefix)) > (entry.v6 ? 128 : 32)) {
            error = "'" + text + "': not a network (ADDRESS/BITS)";
            return false;
        }
        int length = entry.v6 ? 16 : 4;
        std::memcpy(entry.high, entry.low, 16);
        for (int bit = bits; bit < length * 8; bit++) {
            unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
            entry.low[bit / 8] &= static_cast<unsigned char>(~mask);
            entry.high[bit / 8] |= mask;
        }
    } else if (dash != std::string::npos && Address(host.substr(0, dash), entry.v6, entry.low)) {
        if (!Address(host.substr(dash + 1), v6High, entry.high) || v6High != entry.v6 ||
            !NotAbove(entry.low, entry.high)) {
            error = "'" + text + "': not a range (LOW-HIGH, LOW not above HIGH)";
            return false;
        }
    } else if (Address(host, entry.v6, entry.low)) {
        std::memcpy(entry.high, entry.low, 16);
    } else if (host.find(':') != std::string::npos ||
               host.find_first_not_of("0123456789.") == std::string::npos) {
        error = "'" + text + "': not an address";
        return false;
    } else {
        entry.name = true;
        entry.host = host;
    }
    entries_.push_back(entry);
    return true;
}

bool TargetList::Admits(const ProbeTarget& target) const {
    bool v6 = false;
    unsigned char bytes[16];
    bool literal = Address(target.host, v6, bytes);
    for (const Entry& entry : entries_) {
        if (entry.port != 0 && entry.port != target.port) continue;
        if (entry.name) {
            if (!literal && entry.host == target.host) return true;
        } else if (literal && entry.v6 == v6 && NotAbove(entry.low, bytes) &&
                   NotAbove(bytes, entry.high)) {
            return true;
        }
    }
    return false;
}

size_t TargetList::Count(size_t cap) const {
    auto halves = [](const unsigned char bytes[16], bool v6, unsigned long long& upper,
                     unsigned long long& lower) {
        upper = lower = 0;
        int length = v6 ? 16 : 4;
        for (int i = 0; i < length; i++) {
            upper = (upper << 8) | (lower >> 56);
            lower = (lower << 8) | bytes[i];
        }
    };
    size_t total = 0;
    for (const Entry& entry : entries_) {
        if (entry.name) {
            total++;
        } else {
            unsigned long long highUpper, highLower, lowUpper, lowLower;
            halves(entry.high, entry.v6, highUpper, highLower);
            halves(entry.low, entry.v6, lowUpper, lowLower);
            unsigned long long lower = highLower - lowLower;
            unsigned long long upper = highUpper - lowUpper - (highLower < lowLower ? 1 : 0);
            total += upper != 0 || lower >= cap ? cap : static_cast<size_t>(lower + 1);
        }
        if (total >= cap) return cap;
    }
    return total;
}
