#include "agent/listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "platform/socket.h"

namespace {

constexpr int kBacklog = 512;
constexpr int kAttempts = 3;

void CloseSocket(int sock) {
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

// A socket of `family` bound to `address`, or -1 with errno set. `dualStack`: an IPv6 socket that
// takes IPv4 peers too (as IPv4-mapped addresses); the socket fails when it cannot.
int BindTo(int family, const sockaddr* address, socklen_t length, SocketOpener opener,
           const bool* dualStack) {
    int sock = opener(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (dualStack != nullptr) {
        int v6only = *dualStack ? 0 : 1;
        if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
            int error = errno;
            close(sock);
            errno = error;
            return -1;
        }
    }
    if (bind(sock, address, length) != 0) {
        int error = errno;
        close(sock);
        errno = error;
        return -1;
    }
    return sock;
}

int StartListening(int sock, socklen_t boundLength, socklen_t* addrlen, String& error) {
    if (listen(sock, kBacklog) != 0) {
        CloseSocket(sock);
        error = "listen() error";
        error.SetZero();
        return 0;
    }
    if (addrlen != nullptr) *addrlen = boundLength;
    return sock;
}

// Every address of both families on one dual-stack socket. Returns the socket; or 0 with `error`
// set when the port cannot be had; or 0 with `error` empty when IPv6 is not to be had, with the
// reason in `unavailable`.
int ListenEverywhere(const char* service, socklen_t* addrlen, String& error, String& unavailable,
                     SocketOpener opener) {
    char* end = nullptr;
    long port = std::strtol(service, &end, 10);
    if (end == service || *end != '\0' || port < 0 || port > 65535) {
        error = "Servname not supported for ai_socktype";
        error.SetZero();
        return 0;
    }
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(static_cast<uint16_t>(port));
    const bool dualStack = true;
    int sock = BindTo(AF_INET6, reinterpret_cast<sockaddr*>(&any), sizeof any, opener, &dualStack);
    if (sock >= 0) return StartListening(sock, sizeof any, addrlen, error);
    int reason = errno;
    // A port in use or out of bounds is the same on IPv4: say so rather than try there.
    if (reason == EADDRINUSE || reason == EACCES) {
        error = "socket() or bind() error";
        error.SetZero();
        return 0;
    }
    unavailable = "IPv6 is not available (";
    unavailable += std::strerror(reason);
    unavailable += "): listening on IPv4 only";
    return 0;
}

}  // namespace

int TcpListen(const char* host, const char* service, socklen_t* addrlen, String& error,
              String* note, SocketOpener opener) {
    error = "";
    if (note != nullptr) *note = "";
    if (opener == nullptr) opener = socket;
    if (host == nullptr) {
        String unavailable;
        int sock = ListenEverywhere(service, addrlen, error, unavailable, opener);
        if (sock > 0 || error.Length() > 0) return sock;
        // No IPv6 here: IPv4 alone, as on a host that never had IPv6.
        if (note != nullptr) *note = unavailable;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = host == nullptr ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        error = gai_strerror(rc);
        error.SetZero();
        return 0;
    }
    int sock = -1;
    socklen_t boundLength = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        sock = BindTo(ai->ai_family, ai->ai_addr, ai->ai_addrlen, opener, nullptr);
        if (sock >= 0) {
            boundLength = ai->ai_addrlen;
            break;
        }
    }
    freeaddrinfo(list);
    if (sock < 0) {
        error = "socket() or bind() error";
        error.SetZero();
        return 0;
    }
    return StartListening(sock, boundLength, addrlen, error);
}

void SetListenBacklog(int sock, int maxsessions) {
    listen(sock, maxsessions > kBacklog ? maxsessions : kBacklog);
}

int TcpListen(const char* host, int port, socklen_t* addrlen, String& error, String* note) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    return TcpListen(host, service, addrlen, error, note);
}

int Listen(int port, socklen_t& addrlen, String& error, String* note) {
    SettingsSnapshot settings = CurrentSettings();
    String host(settings->host);
    host.SetZero();
    const char* hostText = host.Length() > 0 ? host.Data() : nullptr;
    for (int attempt = 0; attempt < kAttempts; attempt++) {
        int sock = TcpListen(hostText, port, &addrlen, error, note);
        if (sock > 0) {
            // Every accepted connection inherits keepalive, so a peer that vanishes without
            // closing is found even when "timeout" never closes its session.
            SetTcpKeepalive(sock, settings->keepalive);
            SetListenBacklog(sock, settings->maxsessions);
            return sock;
        }
        sleep(1);
    }
    return 0;
}
