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

using Clock = std::chrono::steady_clock;

String Bytes(const std::string& s) {
    return String(s.data(), static_cast<int>(s.size()));
}

int RemainingMs(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

int ConnectBefore(const QdxEndpoint& endpoint, Clock::time_point deadline, std::string& error,
                  NoReplyReason* reason);

bool SendBefore(int sock, const char* bytes, size_t length, Clock::time_point deadline,
                TlsStream* tls = nullptr) {
    // The socket is tried first and waited for only when it takes nothing; a TLS write may wait
    // for the peer's bytes (a key update), as Wants() then says.
    while (length > 0) {
        ssize_t n = tls != nullptr ? tls->Write(bytes, length)
                                   : send(sock, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (n == 0) return false;
        pollfd ready{sock, tls != nullptr ? tls->Wants() : short{POLLOUT}, 0};
        int rc = poll(&ready, 1, RemainingMs(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc != 1) return false;
    }
    return true;
}

// Reads the reply into `buffer` until it is complete, refused, the peer closes or the deadline
// passes: how it ended is the reason (None when complete).
NoReplyReason ReadReply(int sock, Clock::time_point deadline, ReplyBuffer& buffer,
                        TlsStream* tls = nullptr) {
    char block[65536];
    for (;;) {
        if (buffer.Complete()) return NoReplyReason::None;
        if (Clock::now() >= deadline) return NoReplyReason::Timeout;
        if (tls == nullptr || !tls->Pending()) {
            pollfd readable{sock, tls != nullptr ? tls->Wants() : short{POLLIN}, 0};
            int ready = poll(&readable, 1, RemainingMs(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return NoReplyReason::Timeout;
        }
        ssize_t n = tls != nullptr ? tls->Read(block, sizeof block)
                                   : recv(sock, block, sizeof block, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return buffer.Received() == 0 ? NoReplyReason::Closed : NoReplyReason::BadReply;
        if (!buffer.Add(block, static_cast<size_t>(n))) return NoReplyReason::BadReply;
    }
}

}  // namespace

bool ReplyBuffer::Add(const char* data, size_t length) {
    if (!refusal_.empty()) return false;
    size_t want = HeaderKnown() ? announced_ - packet_.size() : 4 - packet_.size();
    size_t take = length < want ? length : want;
    // The whole reply's room is taken with its first bytes, not with its length field: a
    // length alone costs nothing.
    if (HeaderKnown() && take > 0 && packet_.capacity() < announced_) packet_.reserve(announced_);
    packet_.append(data, take);
    data += take;
    length -= take;
    if (announced_ == 0 && HeaderKnown()) {
        unsigned n = DecodeLength(reinterpret_cast<const unsigned char*>(packet_.data()), 4);
        if (n > kMaxReplyPacket - 4) {
            refusal_ = "the reply announces " + std::to_string(n) +
                       " bytes; an agent's reply holds at most " +
                       std::to_string(kMaxReplyPacket - 4);
            return false;
        }
        announced_ = static_cast<size_t>(n) + 4;
        return length == 0 || Add(data, length);
    }
    if (length > 0) {
        refusal_ = "more bytes came than the reply's length field announces";
        return false;
    }
    return true;
}

void ReplyBuffer::Open(const String& sessionKey, std::string& text) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(packet_.data()) + 4;
    CipherBytes(sessionKey.Data(), sessionKey.Length(), bytes, bytes, packet_.size() - 4,
                CipherDirection::Decrypt);
    packet_.erase(0, 4);
    text = std::move(packet_);
    packet_.clear();
    announced_ = 0;
}

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
    return ConnectBefore(endpoint, Clock::now() + std::chrono::milliseconds(endpoint.timeoutMs),
                         error, reason);
}

namespace {

int ConnectBefore(const QdxEndpoint& endpoint, Clock::time_point deadline, std::string& error,
                  NoReplyReason* reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
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
                int ready;
                do ready = poll(&writable, 1, RemainingMs(deadline));
                while (ready < 0 && errno == EINTR);
                if (ready != 1)
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

QdxReplyText Exchange(int sock, const String& packet, const String& sessionKey,
                      Clock::time_point deadline, TlsStream* tls = nullptr) {
    QdxReplyText reply;
    if (!SendBefore(sock, packet.Data(), static_cast<size_t>(packet.Length()), deadline, tls)) {
        reply.status = CallStatus::NoReply;
        reply.reason = Clock::now() >= deadline ? NoReplyReason::Timeout : NoReplyReason::SendFailed;
        reply.error = NoReplyText(reply.reason);
        return reply;
    }
    ReplyBuffer buffer;
    reply.reason = ReadReply(sock, deadline, buffer, tls);
    if (reply.reason == NoReplyReason::None) {
        reply.status = CallStatus::Ok;
        buffer.Open(sessionKey, reply.text);
        return reply;
    }
    reply.status = reply.reason == NoReplyReason::BadReply ? CallStatus::BadReply
                                                           : CallStatus::NoReply;
    if (reply.reason == NoReplyReason::BadReply)
        reply.error = !buffer.Refusal().empty()
                          ? buffer.Refusal()
                          : "the connection closed after " + std::to_string(buffer.Received()) +
                                " bytes of a reply of " +
                                (buffer.HeaderKnown() ? std::to_string(buffer.Announced())
                                                      : std::string("unknown length"));
    else if (reply.reason == NoReplyReason::Timeout && buffer.Received() > 0)
        reply.error = "no whole reply within the time-out (" + std::to_string(buffer.Received()) +
                      " bytes received)";
    else
        reply.error = NoReplyText(reply.reason);
    return reply;
}

}  // namespace

bool ShakeHands(TlsStream& stream, int sock, Clock::time_point deadline, std::string& error) {
    String reason;
    for (;;) {
        int done = stream.Handshake(reason);
        if (done == 1) return true;
        if (done < 0) break;
        pollfd ready{sock, stream.Wants(), 0};
        int rc = poll(&ready, 1, RemainingMs(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
            reason = "no TLS handshake within the time-out";
            break;
        }
    }
    error = TlsFailure(reason);
    return false;
}

std::string TlsFailure(const String& reason) {
    return "TLS: " + std::string(reason.Data() != nullptr ? reason.Data() : "",
                                 static_cast<size_t>(reason.Length()));
}

bool QdxSend(int sock, const char* bytes, size_t length, TlsStream* tls) {
    while (length > 0) {
        if (!SendBefore(sock, bytes, length < 65536 ? length : 65536,
                        Clock::now() + std::chrono::seconds(10), tls))
            return false;
        size_t sent = length < 65536 ? length : 65536;
        bytes += sent;
        length -= sent;
    }
    return true;
}

bool QdxReadAll(int sock, int timeoutMs, String& received) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string collected;
    char block[65536];
    bool closed = false;
    while (Clock::now() < deadline && collected.size() <= kMaxReplyPacket) {
        pollfd readable{sock, POLLIN, 0};
        int ready = poll(&readable, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = recv(sock, block, sizeof block, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            closed = n == 0 || errno == ECONNRESET;
            break;
        }
        collected.append(block, static_cast<size_t>(n));
    }
    received.AddData(collected.data(), static_cast<int>(collected.size()));
    return closed;
}

const char* NoReplyText(NoReplyReason reason) {
    switch (reason) {
        case NoReplyReason::SendFailed: return "cannot send the request";
        case NoReplyReason::Closed:
            return "the agent closed the connection without a reply (a wrong password, an "
                   "address its filter refuses, or an agent at its session limit, maxsessions)";
        case NoReplyReason::Timeout: return "no reply within the time-out";
        default: return "";
    }
}

bool Unreachable(NoReplyReason reason) {
    return reason == NoReplyReason::Refused || reason == NoReplyReason::ConnectTimeout ||
           reason == NoReplyReason::Closed || reason == NoReplyReason::Timeout;
}

bool TimedOut(NoReplyReason reason) {
    return reason == NoReplyReason::Timeout || reason == NoReplyReason::ConnectTimeout;
}

QdxReplyText QdxExchange(int sock, const String& packet, const String& sessionKey, int timeoutMs) {
    return Exchange(sock, packet, sessionKey, Clock::now() + std::chrono::milliseconds(timeoutMs));
}

bool QdxConnection::Open(const QdxEndpoint& endpoint, QdxReplyText& reply) {
    Close();
    auto deadline = Clock::now() + std::chrono::milliseconds(endpoint.timeoutMs);
    fd_ = ConnectBefore(endpoint, deadline, reply.error, &reply.reason);
    if (fd_ >= 0 && endpoint.tls != nullptr) {
        tls_ = std::make_unique<TlsStream>(endpoint.tls, fd_, false, endpoint.host);
        if (!ShakeHands(*tls_, fd_, deadline, reply.error)) {
            reply.reason = NoReplyReason::ConnectFailed;
            Close();
        }
    }
    if (fd_ < 0) reply.status = CallStatus::NoConnection;
    return fd_ >= 0;
}

void QdxConnection::Close() {
    if (tls_ != nullptr) tls_->Close();
    tls_.reset();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

int QdxConnection::Release() {
    if (tls_ != nullptr) return -1;
    int fd = fd_;
    fd_ = -1;
    return fd;
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
    auto deadline = Clock::now() + std::chrono::milliseconds(endpoint.timeoutMs);
    QdxConnection connection;
    if (!connection.Open(endpoint, reply)) return reply;
    String packet =
        BuildRequestPacket(Bytes(endpoint.password), key, BuildRequestText(command, params));
    return Exchange(connection.fd(), packet, key, deadline, connection.tls());
}
