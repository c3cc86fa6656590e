#include "agent/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

int WithoutIpv6(int domain, int type, int protocol) {
    if (domain == AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return socket(domain, type, protocol);
}

int Family(int sock) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length);
    return bound.ss_family;
}

TEST(Listener, EmptyHostIsOneDualStackSocket) {
    String error, note("stale");
    int sock = TcpListen(nullptr, "0", nullptr, error, &note);
    ASSERT_GT(sock, 0) << Str(error);
    EXPECT_EQ(Family(sock), AF_INET6);
    int v6only = -1;
    socklen_t length = sizeof v6only;
    getsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &length);
    EXPECT_EQ(v6only, 0) << "IPv4 peers come in on the same socket";
    EXPECT_EQ(Str(note), "");
    close(sock);
}

// Where IPv6 cannot be had, an empty host listens on IPv4 with a note, and never fails for it.
TEST(Listener, EmptyHostFallsBackToIpv4WithANote) {
    String error, note;
    int sock = TcpListen(nullptr, "0", nullptr, error, &note, WithoutIpv6);
    ASSERT_GT(sock, 0) << Str(error);
    EXPECT_EQ(Family(sock), AF_INET);
    EXPECT_EQ(Str(note), "IPv6 is not available (Address family not supported by protocol): "
                         "listening on IPv4 only");
    close(sock);

    // A named IPv6 address has no fall-back: it fails with the reason.
    EXPECT_EQ(TcpListen("::1", "0", nullptr, error, &note, WithoutIpv6), 0);
    EXPECT_EQ(Str(error), "socket() or bind() error");
}

TEST(Listener, PortInUseIsAnErrorNotAFallBack) {
    String error, note;
    int first = TcpListen(nullptr, "0", nullptr, error, &note);
    ASSERT_GT(first, 0);
    sockaddr_in6 bound{};
    socklen_t length = sizeof bound;
    getsockname(first, reinterpret_cast<sockaddr*>(&bound), &length);
    std::string port = std::to_string(ntohs(bound.sin6_port));
    EXPECT_EQ(TcpListen(nullptr, port.c_str(), nullptr, error, &note), 0);
    EXPECT_EQ(Str(error), "socket() or bind() error");
    EXPECT_EQ(Str(note), "");
    close(first);
}

}  // namespace
