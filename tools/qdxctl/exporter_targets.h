// The targets a probe may reach: a list of addresses, networks, address ranges and host names,
// each with or without a port. The exporter refuses any other target, so that nobody can make it
// send a module's password digest to a host and port of their choosing.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

// A probe's target as its caller wrote it: "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT".
struct ProbeTarget {
    std::string host;  // a name in lower case, or an address literal without brackets
    int port = 0;      // 0 when the target named none
};

// Reads "target=" text. False with the reason for an empty host, a port that is not 1 to 65535,
// or characters no host name or address holds.
bool ParseProbeTarget(const std::string& text, ProbeTarget& target, std::string& error);

class TargetList {
public:
    // Adds one entry: "192.0.2.7", "192.0.2.0/24", "192.0.2.10-192.0.2.20", "2001:db8::/32",
    // "agent1.example.org", each optionally followed by ":PORT" ("[2001:db8::1]:1055" for an
    // IPv6 address). False with the reason when the entry is none of these.
    bool Add(const std::string& entry, std::string& error);
    bool Empty() const { return entries_.empty(); }
    // True when `target` (its port already settled) is admitted. A host name is admitted only
    // when it is listed by name; it is not resolved for the check.
    bool Admits(const ProbeTarget& target) const;
    // How many distinct targets the list admits, counted up to `cap` (an entry without a port
    // counts once per address).
    size_t Count(size_t cap) const;

private:
    struct Entry {
        bool name = false;
        std::string host;  // a name entry
        bool v6 = false;
        unsigned char low[16] = {}, high[16] = {};  // an address range, both ends included
        int port = 0;                               // 0: any
    };
    std::vector<Entry> entries_;
};
