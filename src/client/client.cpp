#include "client/client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "protocol/packet.h"

namespace {

String Bytes(const std::string& s) {
    return String(s.data(), static_cast<int>(s.size()));
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string QdxReplyText::Code() const {
    return text.size() >= 3 ? text.substr(0, 3) : "";
}

std::vector<std::string> QdxReplyText::Lines() const {
    std::vector<std::string> lines;
    size_t start = text.find('\n');
    while (start != std::string::npos) {
        size_t end = text.find('\n', start + 1);
        if (end == std::string::npos) break;  // what follows the last LF is the CR mark
        lines.push_back(text.substr(start + 1, end - start - 1));
        start = end;
    }
    return lines;
}

String BuildRequestText(const std::string& command, const std::vector<std::string>& params) {
    std::string text = command + "\n";
    for (const std::string& p : params) text += p + "\n";
    text += "\r";
    return Bytes(text);
}

String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText) {
    String body("\x03\x12", 2);
    String pswd = EncodePswd(password);
    body += EncodeLength(pswd, 2);
    body += pswd;
    String key = EncodeData(sessionKey, password, 0);
    body += EncodeLength(key, 2);
    body += key;
    String request = EncodeData(requestText, sessionKey, 0);
    body += EncodeLength(request, 4);
    body += request;
    return EncodeLength(body, 4) + body;
}

String NewSessionKey() {
    char key[16];
    size_t filled = 0;
    while (filled < sizeof key) {
        ssize_t n = getrandom(key + filled, sizeof key - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return String();
        filled += static_cast<size_t>(n);
    }
    return String(key, static_cast<int>(sizeof key));
}

bool OpenReplyPacket(const String& packet, const String& sessionKey, String& text) {
    if (packet.Length() < 4) return false;
    unsigned length = DecodeLength(reinterpret_cast<const unsigned char*>(packet.Data()), 4);
    if (static_cast<long long>(length) + 4 != packet.Length()) return false;
    text = DecodeData(packet.Copy(5, static_cast<int>(length)), sessionKey);
    return true;
}

const char* NoReplyWord(NoReplyReason reason) {
    switch (reason) {
        case NoReplyReason::None: return "";
        case NoReplyReason::Unresolved: return "unresolved";
        case NoReplyReason::Refused: return "refused";
        case NoReplyReason::ConnectTimeout: return "connect_timeout";
        case NoReplyReason::ConnectFailed: return "connect_failed";
        case NoReplyReason::SendFailed: return "send_failed";
        case NoReplyReason::Closed: return "closed";
        case NoReplyReason::Timeout: return "timeout";
        case NoReplyReason::BadReply: return "bad_reply";
        case NoReplyReason::NoSessionKey: return "no_session_key";
        case NoReplyReason::Interrupted: return "interrupted";
    }
    return "";
}

NoReplyReason ConnectFailure(int error) {
    if (error == ECONNREFUSED) return NoReplyReason::Refused;
    if (error == ETIMEDOUT) return NoReplyReason::ConnectTimeout;
    return NoReplyReason::ConnectFailed;
}

int QdxConnect(const QdxEndpoint& endpoint, std::string& error, NoReplyReason* reason) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string service = std::to_string(endpoint.port);
    int rc = getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        error = gai_strerror(rc);
        if (reason != nullptr) *reason = NoReplyReason::Unresolved;
        return -1;
    }
    int sock = -1;
    for (addrinfo* ai = list; ai != nullptr && sock < 0; ai = ai->ai_next) {
        sock =
            socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (sock < 0) continue;
        int failure = 0;
        if (connect(sock, ai->ai_addr, ai->ai_addrlen) != 0) {
            failure = errno;
            if (failure == EINPROGRESS) {
                pollfd writable{sock, POLLOUT, 0};
                socklen_t len = sizeof failure;
                if (poll(&writable, 1, endpoint.timeoutMs) != 1)
                    failure = ETIMEDOUT;
                else if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &failure, &len) != 0)
                    failure = errno;
            }
        }
        if (failure != 0) {
            error = std::strerror(failure);
            if (reason != nullptr) *reason = ConnectFailure(failure);
            close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(list);
    return sock;
}

bool QdxSend(int sock, const char* bytes, size_t length) {
    while (length > 0) {
        pollfd writable{sock, POLLOUT, 0};
        if (poll(&writable, 1, 10000) != 1) return false;
        ssize_t n = send(sock, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool QdxReadAll(int sock, int timeoutMs, String& received) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char block[16384];
    for (;;) {
        pollfd readable{sock, POLLIN, 0};
        int ready = poll(&readable, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = recv(sock, block, sizeof block, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return errno == ECONNRESET;
        if (n == 0) return true;
        received.AddData(block, static_cast<int>(n));
    }
}

const char* NoReplyText(NoReplyReason reason) {
    switch (reason) {
        case NoReplyReason::SendFailed: return "cannot send the request";
        case NoReplyReason::Closed:
            return "the agent closed the connection without a reply (a wrong password or an "
                   "address its filter refuses)";
        case NoReplyReason::Timeout: return "no reply within the time-out";
        default: return "";
    }
}

QdxReplyText QdxExchange(int sock, const String& packet, const String& sessionKey, int timeoutMs) {
    QdxReplyText reply;
    String received;
    bool sent = QdxSend(sock, packet.Data(), static_cast<size_t>(packet.Length()));
    bool closed = sent && QdxReadAll(sock, timeoutMs, received);
    String text;
    if (received.Length() == 0) {
        reply.status = CallStatus::NoReply;
        reply.reason = !sent    ? NoReplyReason::SendFailed
                       : closed ? NoReplyReason::Closed
                                : NoReplyReason::Timeout;
        reply.error = NoReplyText(reply.reason);
    } else if (!OpenReplyPacket(received, sessionKey, text)) {
        reply.status = CallStatus::BadReply;
        reply.reason = NoReplyReason::BadReply;
        reply.error = "the reply's length field does not match the data received";
    } else {
        reply.status = CallStatus::Ok;
        reply.text.assign(text.Data() ? text.Data() : "", static_cast<size_t>(text.Length()));
    }
    return reply;
}

QdxReplyText QdxCall(const QdxEndpoint& endpoint, const std::string& command,
                     const std::vector<std::string>& params) {
    QdxReplyText reply;
    String key = NewSessionKey();
    if (key.Length() == 0) {
        reply.status = CallStatus::NoSessionKey;
        reply.reason = NoReplyReason::NoSessionKey;
        reply.error = std::string("no random bytes for a session key: ") + std::strerror(errno);
        return reply;
    }
    int sock = QdxConnect(endpoint, reply.error, &reply.reason);
    if (sock < 0) {
        reply.status = CallStatus::NoConnection;
        return reply;
    }
    String packet =
        BuildRequestPacket(Bytes(endpoint.password), key, BuildRequestText(command, params));
    reply = QdxExchange(sock, packet, key, endpoint.timeoutMs);
    close(sock);
    return reply;
}
