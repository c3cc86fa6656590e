// The hosts list of "qdxctl --hosts": one host[:port] a line, "#" starts a comment, blank lines
// are skipped; a host:port listed twice is asked once.
#pragma once

#include <string>
#include <vector>

#include "client/multi_call.h"

struct HostLine {
    CallTarget target;
    int lineNumber = 0;
    int duplicateOf = 0;  // the line number of the same host:port met first, or 0
};

// Reads a hosts list; `defaultPort` (0: none) serves lines without a port. False with the reason
// (and the line number) in `error`: a line over 1024 bytes, a NUL byte, a blank or control byte
// in a host, a port outside 1 to 65535, a host without a port.
bool ParseHostList(const std::string& text, int defaultPort, std::vector<HostLine>& hosts,
                   std::string& error);
