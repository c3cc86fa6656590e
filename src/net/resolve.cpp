#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "foundation/blocking_wait.h"
#include "platform/error_text.h"

const char* const ipErrMsg[8] = {
    "Winsock error",        "Connection error",
    "Cannot read data",     "Cannot send data",
    "Cannot create socket", "Cannot resolve host name to IP address",
    "Cannot init WinSock",  "Timeout",
};

const char kResolveFailedText[] = "Cannot resolve server name to IP address";
const char kAddressFamilyText[] = "Name resolution error: unknown address structure";
const char kTimeoutText[] = "Timeout";

String GetErrorStr(int errnum) {
    return SystemErrorText(errnum);
}

char* inet_ntoa_safe(in_addr address, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return buffer;
    char dotted[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &address, dotted, sizeof dotted) == nullptr) dotted[0] = '\0';
    std::strncpy(buffer, dotted, static_cast<size_t>(size - 1));
    buffer[size - 1] = '\0';
    return buffer;
}

int GetHostIP(const char* name, in_addr& address, String& error) {
    if (name == nullptr) name = "";
    in_addr_t dotted = inet_addr(name);
    if (dotted != INADDR_NONE) {
        address.s_addr = dotted;
        return 1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* found = nullptr;
    int failed;
    {
        BlockingWait outside;  // a name server may take seconds
        failed = getaddrinfo(name, nullptr, &hints, &found);
    }
    if (failed != 0 || found == nullptr) {
        error = kResolveFailedText;
        return kIpResolveError;
    }
    int result = 1;
    if (found->ai_family != AF_INET || found->ai_addr == nullptr ||
        found->ai_addrlen < sizeof(sockaddr_in)) {
        error = kAddressFamilyText;
        result = kIpResolveError;
    } else {
        sockaddr_in first;
        std::memcpy(&first, found->ai_addr, sizeof first);
        address = first.sin_addr;
    }
    freeaddrinfo(found);
    return result;
}

in_addr GetMyIP() {
    in_addr address{};
    char name[254];
    if (gethostname(name, sizeof name) != 0) return address;
    name[sizeof name - 1] = '\0';
    String unused;
    if (GetHostIP(name, address, unused) != 1) address.s_addr = 0;
    return address;
}

String IP2String(in_addr address) {
    char dotted[24];
    return String(inet_ntoa_safe(address, dotted, sizeof dotted));
}

namespace {

// Addresses of one name tried at most: enough for every family and a few replicas, while a name
// with hundreds of addresses cannot hold a request for hundreds of connects.
constexpr size_t kMostAddresses = 8;

void AddAddress(const void* address, socklen_t length, std::vector<SocketAddress>& peers) {
    SocketAddress peer;
    std::memcpy(&peer.storage, address, length);
    peer.length = length;
    peers.push_back(peer);
}

}  // namespace

int ResolvePeer(const char* host, int port, std::vector<SocketAddress>& peers, String& error) {
    peers.clear();
    if (port < 0 || port > 65535) {
        error = "Invalid port number";
        return kIpConnectError;
    }
    if (host == nullptr) host = "";
    const auto networkPort = htons(static_cast<uint16_t>(port));
    in_addr_t dotted = inet_addr(host);
    if (dotted != INADDR_NONE) {
        sockaddr_in four{};
        four.sin_family = AF_INET;
        four.sin_port = networkPort;
        four.sin_addr.s_addr = dotted;
        AddAddress(&four, sizeof four, peers);
        return 1;
    }
    std::string literal(host);
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    sockaddr_in6 six{};
    if (inet_pton(AF_INET6, literal.c_str(), &six.sin6_addr) == 1) {
        six.sin6_family = AF_INET6;
        six.sin6_port = networkPort;
        AddAddress(&six, sizeof six, peers);
        return 1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* found = nullptr;
    int failed;
    {
        BlockingWait outside;  // a name server may take seconds
        failed = getaddrinfo(host, nullptr, &hints, &found);
    }
    if (failed == 0) {
        for (addrinfo* ai = found; ai != nullptr && peers.size() < kMostAddresses; ai = ai->ai_next) {
            if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
                sockaddr_in four;
                std::memcpy(&four, ai->ai_addr, sizeof four);
                four.sin_port = networkPort;
                AddAddress(&four, sizeof four, peers);
            } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
                std::memcpy(&six, ai->ai_addr, sizeof six);
                six.sin6_port = networkPort;
                AddAddress(&six, sizeof six, peers);
            }
        }
    }
    if (found != nullptr) freeaddrinfo(found);
    if (peers.empty()) {
        error = kResolveFailedText;
        return kIpResolveError;
    }
    return 1;
}
