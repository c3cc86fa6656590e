#include "client/upgrade_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "protocol/packet.h"

QdxReplyText QdxReadReply(int sock, const String& sessionKey, int timeoutMs, TlsStream* tls) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    QdxReplyText reply;
    ReplyBuffer buffer;
    char block[16384];
    while (!buffer.Complete()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd readable{sock, tls != nullptr ? tls->Wants() : short{POLLIN}, 0};
        int ready = tls != nullptr && tls->Pending() ? 1
                    : left > 0                       ? poll(&readable, 1, static_cast<int>(left))
                                                     : 0;
        if (ready < 0 && errno == EINTR) continue;
        ssize_t n = 0;
        if (ready > 0) {
            // Never past this reply: what follows on the connection is not ours to take.
            size_t want = buffer.HeaderKnown() ? buffer.Announced() - buffer.Received()
                                               : 4 - buffer.Received();
            size_t take = want < sizeof block ? want : sizeof block;
            n = tls != nullptr ? tls->Read(block, take) : recv(sock, block, take, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        }
        if (n <= 0) {
            reply.status = buffer.Received() == 0 ? CallStatus::NoReply : CallStatus::BadReply;
            reply.reason = ready <= 0 ? NoReplyReason::Timeout
                           : buffer.Received() == 0 ? NoReplyReason::Closed
                                                    : NoReplyReason::BadReply;
            if (ready <= 0) reply.status = CallStatus::NoReply;
            reply.error = buffer.Received() == 0 ? NoReplyText(reply.reason)
                                                 : "the reply was cut off";
            return reply;
        }
        if (!buffer.Add(block, static_cast<size_t>(n))) {
            reply.status = CallStatus::BadReply;
            reply.reason = NoReplyReason::BadReply;
            reply.error = buffer.Refusal();
            return reply;
        }
    }
    reply.status = CallStatus::Ok;
    buffer.Open(sessionKey, reply.text);
    return reply;
}

String UpgradeTrailer(const unsigned char digest[16], const String& sessionKey) {
    return EncodeData(String(reinterpret_cast<const char*>(digest), 16), sessionKey, 0);
}

bool QdxStartUpgrade(const QdxEndpoint& endpoint, long long size, String& sessionKey,
                     QdxReplyText& reply, QdxConnection& connection) {
    sessionKey = NewSessionKey();
    if (sessionKey.Length() == 0) {
        reply.status = CallStatus::NoSessionKey;
        reply.error = std::string("no random bytes for a session key: ") + std::strerror(errno);
        return false;
    }
    if (!connection.Open(endpoint, reply)) return false;
    String request = BuildRequestText("UpgradeCode", {std::to_string(size)});
    String packet = BuildRequestPacket(
        String(endpoint.password.data(), static_cast<int>(endpoint.password.size())), sessionKey,
        request);
    if (!connection.Send(packet.Data(), static_cast<size_t>(packet.Length()))) {
        reply.status = CallStatus::NoReply;
        reply.reason = NoReplyReason::SendFailed;
        reply.error = NoReplyText(reply.reason);
        connection.Close();
        return false;
    }
    reply = QdxReadReply(connection.fd(), sessionKey, endpoint.timeoutMs, connection.tls());
    if (reply.status == CallStatus::Ok && reply.Code() == "200") return true;
    connection.Close();
    return false;
}

int QdxStartUpgrade(const QdxEndpoint& endpoint, long long size, String& sessionKey,
                    QdxReplyText& reply) {
    QdxEndpoint plain = endpoint;
    plain.tls = nullptr;
    QdxConnection connection;
    if (!QdxStartUpgrade(plain, size, sessionKey, reply, connection)) return -1;
    return connection.Release();
}
