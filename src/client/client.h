// The client side of the wire protocol: build a request packet under a fresh session key, send
// it, read the reply until the agent closes, check its length and decrypt it. Used by qdxctl and
// by the end-to-end tests.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foundation/string.h"
#include "net/tls.h"

struct QdxEndpoint {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string password;
    int timeoutMs = 10000;  // the whole exchange: connecting, sending and the reply's last byte
    TlsContextPtr tls;      // TLS on the agent's TLS port (net/tls.h); null: the plain port.
                            // The agent's certificate must carry `host`.
};

// The largest reply packet an agent sends: a file list of 256 MiB of entries, its header (the
// folder's path among them) and the 4-byte length. Replies announcing more are refused unread.
constexpr unsigned kMaxReplyPacket = (256u << 20) + (64u << 10);

enum class CallStatus {
    Ok,            // a well-formed reply was received and decrypted
    NoConnection,  // the agent could not be reached
    NoReply,       // the agent closed without a reply (e.g. a wrong password) or timed out
    BadReply,      // the reply's length field does not match what arrived
    NoSessionKey,  // the system gave no random bytes for a session key; nothing was sent
};

// Why no reply came, finer than CallStatus: what a script or a monitoring system tells apart.
enum class NoReplyReason {
    None,
    Unresolved,      // the host name does not resolve
    Refused,         // nothing listens on the port
    ConnectTimeout,  // no answer to the connection attempt (a filtered or absent host)
    ConnectFailed,   // another connection error
    SendFailed,      // the request could not be sent
    Closed,          // closed without a reply: a wrong password, a filtered address, a full agent
    Timeout,         // connected, but no whole reply within the time-out
    BadReply,        // a reply whose length field does not match
    NoSessionKey,    // no random bytes for a session key
    Interrupted,     // the caller gave up (Ctrl-C)
};

// A short lower_case word for `reason` ("refused", "timeout", ...), for scripts.
const char* NoReplyWord(NoReplyReason reason);
// The text for a reason found after connecting (send failed, closed, time-out); "" for others.
const char* NoReplyText(NoReplyReason reason);
// True for the reasons that mean the agent could not be asked: refused, a connection time-out,
// closed without a reply, no reply in time.
bool Unreachable(NoReplyReason reason);
bool TimedOut(NoReplyReason reason);
// The reason for a failed connect() with errno `error`.
NoReplyReason ConnectFailure(int error);

struct QdxReplyText {
    CallStatus status = CallStatus::NoReply;
    NoReplyReason reason = NoReplyReason::None;
    std::string error;  // why there is no reply
    std::string text;   // decrypted reply text, exactly as received

    // The result code ("200", "500", ...), empty without a reply.
    std::string Code() const;
    // The lines after the result line, without the final CR mark.
    std::vector<std::string> Lines() const;
};

// The request text: the command, each parameter on its own line, then the CR end mark.
String BuildRequestText(const std::string& command, const std::vector<std::string>& params);
// A whole request packet for `requestText` under `password` and `sessionKey`.
String BuildRequestPacket(const String& password, const String& sessionKey,
                          const String& requestText);
// 16 random bytes; empty when the system cannot give them (a partly random key is never used).
String NewSessionKey();
// Checks the length field of a reply packet and decrypts it; false when the length is wrong.
bool OpenReplyPacket(const String& packet, const String& sessionKey, String& text);

// A reply packet as it arrives: the length field is read first, a length beyond
// kMaxReplyPacket is refused at once, and exactly the announced bytes are kept, in one buffer
// that is decrypted in place (the reply costs its own size, once).
class ReplyBuffer {
public:
    // Adds received bytes. False when the reply is refused: too long, or longer than announced.
    bool Add(const char* data, size_t length);
    bool HeaderKnown() const { return packet_.size() >= 4; }
    // The announced length of the whole packet, length field included (0 before it is known).
    size_t Announced() const { return announced_; }
    bool Complete() const { return HeaderKnown() && packet_.size() == announced_; }
    size_t Received() const { return packet_.size(); }
    const std::string& Refusal() const { return refusal_; }
    // Decrypts the complete packet into `text` (the buffer moves there).
    void Open(const String& sessionKey, std::string& text);

private:
    std::string packet_;
    size_t announced_ = 0;
    std::string refusal_;
};

// Connects to the agent within endpoint.timeoutMs; returns the socket or -1 with the reason in
// `error` (and its kind in `reason`, when given).
int QdxConnect(const QdxEndpoint& endpoint, std::string& error, NoReplyReason* reason = nullptr);
// Sends `bytes` (all of them) on `sock`, through `tls` when given, waiting at most 10 s for room
// each time.
bool QdxSend(int sock, const char* bytes, size_t length, TlsStream* tls = nullptr);
// Reads until the peer closes or the time-out passes, however fast bytes come, and never beyond
// kMaxReplyPacket bytes; true when the peer closed.
bool QdxReadAll(int sock, int timeoutMs, String& received);

// Sends a prepared request packet on a connected socket and reads and opens the reply.
QdxReplyText QdxExchange(int sock, const String& packet, const String& sessionKey, int timeoutMs);

// "TLS: " and the reason a handshake failed, as the client reports it.
std::string TlsFailure(const String& reason);
// Runs the client's side of the TLS handshake on the connected non-blocking `sock` until done or
// `deadline`; false with the reason ("TLS: ...") in `error`.
bool ShakeHands(TlsStream& stream, int sock, std::chrono::steady_clock::time_point deadline,
                std::string& error);

// A connection to an agent that stays open beyond one exchange (an upgrade): its socket and, on
// the TLS port, the TLS stream over it. Closing sends TLS's closing alert first.
class QdxConnection {
public:
    QdxConnection() = default;
    ~QdxConnection() { Close(); }
    QdxConnection(const QdxConnection&) = delete;
    QdxConnection& operator=(const QdxConnection&) = delete;

    // Connects, and over TLS shakes hands, within endpoint.timeoutMs. False with the failure in
    // `reply` (NoConnection; a refused handshake is ConnectFailed, "TLS: ...").
    bool Open(const QdxEndpoint& endpoint, QdxReplyText& reply);
    bool Send(const char* bytes, size_t length) { return QdxSend(fd_, bytes, length, tls_.get()); }
    void Close();
    // Hands a plain connection's socket to the caller, who closes it; -1 over TLS.
    int Release();
    int fd() const { return fd_; }
    TlsStream* tls() const { return tls_.get(); }

private:
    int fd_ = -1;
    std::unique_ptr<TlsStream> tls_;
};

// One request and its reply; over TLS when endpoint.tls is set.
QdxReplyText QdxCall(const QdxEndpoint& endpoint, const std::string& command,
                     const std::vector<std::string>& params = {});
