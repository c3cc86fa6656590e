// TSyncSocket against peers on 127.0.0.1: several sends over one connection, reads, failures.
#include "net/sync_socket.h"

#include <gtest/gtest.h>

#include <string>

#include "loopback_peers.h"
#include "net/resolve.h"

namespace {

using peers::TcpPeer;
using peers::UdpPeer;

std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

TEST(SyncSocketTest, TcpSendsPiecesOverOneConnectionAndReads) {
    TcpPeer peer(TcpPeer::Mode::Answer, "welcome");
    {
        TSyncSocket socket(TSyncSocket::kTcp);
        EXPECT_FALSE(socket.Connected());
        ASSERT_EQ(socket.Connect("127.0.0.1", peer.port(), 2000), 1);
        EXPECT_TRUE(socket.Connected());
        EXPECT_EQ(socket.SendString("one,", 0), 4);
        EXPECT_EQ(socket.SendString(String(), 0), 0);
        EXPECT_EQ(socket.SendBuf("two", 3, 0), 3);
        String text("stale");
        EXPECT_EQ(socket.ReadString(text, 2000), 7);
        EXPECT_EQ(Str(text), "welcome");
        EXPECT_EQ(Str(socket.LastError()), "");
    }  // the destructor closes the connection
    ASSERT_TRUE(peer.WaitForEntries(1, 5));
    EXPECT_EQ(peer.Received()[0], "one,two");
}

TEST(SyncSocketTest, UdpSendsOneDatagramPerPiece) {
    UdpPeer peer(UdpPeer::Mode::Capture);
    TSyncSocket socket(TSyncSocket::kUdp);
    ASSERT_EQ(socket.Connect("127.0.0.1", peer.port(), 0), 1);
    EXPECT_EQ(socket.SendString("first", 0), 5);
    EXPECT_EQ(socket.SendString("second", 0), 6);
    ASSERT_TRUE(peer.WaitForEntries(2, 5));
    EXPECT_EQ(peer.Received()[0], "first");
    EXPECT_EQ(peer.Received()[1], "second");
    socket.Disconnect();
    EXPECT_FALSE(socket.Connected());
}

TEST(SyncSocketTest, Failures) {
    int closed = peers::ClosedPort();
    TSyncSocket tcp(TSyncSocket::kTcp);
    EXPECT_EQ(tcp.Connect("127.0.0.1", closed, 0), kIpConnectError);
    EXPECT_EQ(Str(tcp.LastError()), "Connection refused");
    tcp.Disconnect();
    EXPECT_EQ(Str(tcp.LastError()), "");
    EXPECT_EQ(tcp.SendString("x", 0), kIpSendError) << "no connection";

    TSyncSocket udp(TSyncSocket::kUdp);
    EXPECT_EQ(udp.Connect("no..such..host", 514, 0), kIpResolveError);
    EXPECT_EQ(Str(udp.LastError()), "Cannot resolve server name to IP address");
    EXPECT_EQ(udp.Socket(), -1);

    TcpPeer silent(TcpPeer::Mode::Hold);
    ASSERT_EQ(tcp.Connect("127.0.0.1", silent.port(), 1000), 1);
    String text;
    EXPECT_EQ(tcp.ReadString(text, 100), kIpTimeout);
    EXPECT_EQ(Str(tcp.LastError()), "Timeout");
    EXPECT_EQ(text.Length(), 0);
}

}  // namespace
