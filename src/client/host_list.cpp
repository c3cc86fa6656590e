#include "client/host_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

constexpr size_t kMaxHostLine = 1024;

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// An IPv6 literal, with a zone ("%eth0") allowed after it.
bool IsIpv6Literal(const std::string& host) {
    in6_addr address{};
    return inet_pton(AF_INET6, host.substr(0, host.find('%')).c_str(), &address) == 1;
}

}  // namespace

bool ParseHostList(const std::string& text, int defaultPort, std::vector<HostLine>& hosts,
                   std::string& error) {
    std::map<std::string, int> seen;
    size_t start = 0;
    for (int number = 1; start < text.size(); number++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        std::string where = "line " + std::to_string(number) + ": ";
        if (line.size() > kMaxHostLine) {
            error = where + "longer than " + std::to_string(kMaxHostLine) + " bytes";
            return false;
        }
        if (line.find('\0') != std::string::npos) {
            error = where + "holds a NUL byte";
            return false;
        }
        line = Trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        HostLine host;
        host.lineNumber = number;
        host.target.host = line;
        host.target.port = defaultPort;
        // "[v6]" and "[v6]:port" bracket an IPv6 address; a bare one (two colons or more) has no
        // port, and a single colon separates host and port.
        size_t colon = std::string::npos;
        bool bracketed = line[0] == '[';
        if (bracketed) {
            size_t close = line.find(']');
            if (close == std::string::npos || (close + 1 < line.size() && line[close + 1] != ':')) {
                error = where + "\"" + line + "\" is not [address]:port";
                return false;
            }
            host.target.host = line.substr(1, close - 1);
            if (close + 1 < line.size()) colon = close + 1;
        } else if (std::count(line.begin(), line.end(), ':') == 1) {
            colon = line.find(':');
            host.target.host = Trimmed(line.substr(0, colon));
        }
        if (colon != std::string::npos) {
            std::string port = line.substr(colon + 1);
            char* stop = nullptr;
            long value = std::strtol(port.c_str(), &stop, 10);
            if (port.empty() || *stop != '\0' || value < 1 || value > 65535 ||
                port.find_first_not_of("0123456789") != std::string::npos) {
                error = where + "\"" + port + "\" is not a port (1 to 65535)";
                return false;
            }
            host.target.port = static_cast<int>(value);
        }
        bool printable = std::all_of(host.target.host.begin(), host.target.host.end(), [](char c) {
            return static_cast<unsigned char>(c) > ' ' && c != 0x7f;
        });
        bool ipv6 = host.target.host.find(':') != std::string::npos;
        if (host.target.host.empty() || !printable || (ipv6 && !IsIpv6Literal(host.target.host)) ||
            (bracketed && !ipv6) ||
            host.target.host.find_first_of("[]") != std::string::npos) {
            error = where + "\"" + line + "\" is not host[:port]";
            return false;
        }
        if (host.target.port <= 0) {
            error = where + host.target.host + " has no port (give host:port, -p or QDX_PORT)";
            return false;
        }
        std::string key = (ipv6 ? "[" + host.target.host + "]" : host.target.host) + ":" +
                          std::to_string(host.target.port);
        auto [it, fresh] = seen.emplace(key, number);
        if (!fresh) host.duplicateOf = it->second;
        hosts.push_back(host);
    }
    return true;
}

