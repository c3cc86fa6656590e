#include "agent/listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>

#include "config/settings.h"
#include "platform/socket.h"

namespace {

constexpr int kBacklog = 512;
constexpr int kAttempts = 3;

void CloseSocket(int sock) {
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

}  // namespace

int TcpListen(const char* host, const char* service, socklen_t* addrlen, String& error) {
    error = "";
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
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
        sock = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (sock < 0) continue;
        int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(sock, ai->ai_addr, ai->ai_addrlen) == 0) {
            boundLength = ai->ai_addrlen;
            break;
        }
        CloseSocket(sock);
        sock = -1;
    }
    freeaddrinfo(list);
    if (sock < 0) {
        error = "socket() or bind() error";
        error.SetZero();
        return 0;
    }
    if (listen(sock, kBacklog) != 0) {
        CloseSocket(sock);
        error = "listen() error";
        error.SetZero();
        return 0;
    }
    if (addrlen != nullptr) *addrlen = boundLength;
    return sock;
}

void SetListenBacklog(int sock, int maxsessions) {
    listen(sock, maxsessions > kBacklog ? maxsessions : kBacklog);
}

int TcpListen(const char* host, int port, socklen_t* addrlen, String& error) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    return TcpListen(host, service, addrlen, error);
}

int Listen(int port, socklen_t& addrlen, String& error) {
    SettingsSnapshot settings = CurrentSettings();
    String host(settings->host);
    host.SetZero();
    const char* hostText = host.Length() > 0 ? host.Data() : nullptr;
    for (int attempt = 0; attempt < kAttempts; attempt++) {
        int sock = TcpListen(hostText, port, &addrlen, error);
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
