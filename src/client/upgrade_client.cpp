#include "client/upgrade_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "protocol/packet.h"

namespace {

constexpr unsigned kMaxReply = 16u << 20;

// Reads exactly `count` bytes into `into` before `deadline`.
bool ReadExactly(int sock, size_t count, std::chrono::steady_clock::time_point deadline,
                 String& into) {
    char block[16384];
    while (count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd readable{sock, POLLIN, 0};
        int ready = poll(&readable, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = recv(sock, block, count < sizeof block ? count : sizeof block, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        into.AddData(block, static_cast<int>(n));
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

QdxReplyText QdxReadReply(int sock, const String& sessionKey, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    QdxReplyText reply;
    String packet;
    if (!ReadExactly(sock, 4, deadline, packet)) {
        reply.status = CallStatus::NoReply;
        reply.error = packet.Length() == 0 ? "no reply from the agent" : "the reply was cut off";
        return reply;
    }
    unsigned length = DecodeLength(reinterpret_cast<const unsigned char*>(packet.Data()), 4);
    String text;
    if (length > kMaxReply || !ReadExactly(sock, length, deadline, packet) ||
        !OpenReplyPacket(packet, sessionKey, text)) {
        reply.status = CallStatus::BadReply;
        reply.error = "the reply's length field does not match the data received";
        return reply;
    }
    reply.status = CallStatus::Ok;
    reply.text.assign(text.Data() ? text.Data() : "", static_cast<size_t>(text.Length()));
    return reply;
}

String UpgradeTrailer(const unsigned char digest[16], const String& sessionKey) {
    return EncodeData(String(reinterpret_cast<const char*>(digest), 16), sessionKey, 0);
}

int QdxStartUpgrade(const QdxEndpoint& endpoint, long long size, String& sessionKey,
                    QdxReplyText& reply) {
    sessionKey = NewSessionKey();
    if (sessionKey.Length() == 0) {
        reply.status = CallStatus::NoSessionKey;
        reply.error = std::string("no random bytes for a session key: ") + std::strerror(errno);
        return -1;
    }
    int sock = QdxConnect(endpoint, reply.error);
    if (sock < 0) {
        reply.status = CallStatus::NoConnection;
        return -1;
    }
    String request = BuildRequestText("UpgradeCode", {std::to_string(size)});
    String packet = BuildRequestPacket(
        String(endpoint.password.data(), static_cast<int>(endpoint.password.size())), sessionKey,
        request);
    if (!QdxSend(sock, packet.Data(), static_cast<size_t>(packet.Length()))) {
        reply.status = CallStatus::NoReply;
        reply.error = "cannot send the request";
        close(sock);
        return -1;
    }
    reply = QdxReadReply(sock, sessionKey, endpoint.timeoutMs);
    if (reply.status == CallStatus::Ok && reply.Code() == "200") return sock;
    close(sock);
    return -1;
}
