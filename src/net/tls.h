// The TLS transport, one wrapper over the TLS library that the agent's listener and the client
// both use: a context made once from certificate, key, authority and pre-shared key files, and a
// stream over one non-blocking connected socket whose calls never block and say what they wait
// for. TLS 1.3 only, or 1.2 with forward-secret AEAD suites beside it when asked; no
// renegotiation, compression, session tickets or early data. A build without TLS (QDX_TLS off)
// keeps these declarations and refuses to make a context.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "foundation/string.h"

struct TlsOptions {
    std::string certFile;     // own certificate chain, PEM (server: needed unless a PSK is set)
    std::string keyFile;      // its private key, PEM
    std::string caFile;       // server: clients must present a certificate it signed;
                              // client: the authority the agent's certificate must chain to
    std::string pskIdentity;  // a pre-shared key's identity ...
    std::string pskFile;      // ... and the file holding it in hexadecimal (128 bits or more)
    bool allowTls12 = false;  // TLS 1.2 beside 1.3
    // Client only: the name the agent's certificate must carry unless a connection names its
    // own, and whether to check the certificate at all.
    std::string serverName;
    bool verifyPeer = true;
};

class TlsContext;
using TlsContextPtr = std::shared_ptr<const TlsContext>;

// A context for the agent's listener or for a client. Null with the reason in `error` when a file
// cannot be read or does not fit ("cannot read certificate '/etc/qdx/cert.pem': ...").
TlsContextPtr NewServerTlsContext(const TlsOptions& options, String& error);
TlsContextPtr NewClientTlsContext(const TlsOptions& options, String& error);

// True when this build has TLS.
bool TlsAvailable();

// Reads a pre-shared key file: hexadecimal digits (blanks and line ends around them ignored), 16
// bytes at least, 64 at most. False with the reason otherwise.
bool ReadPskFile(const std::string& path, std::string& key, String& error);

// One TLS connection over the connected, non-blocking socket `fd`, which stays the caller's to
// close. Calls that would block return with the events (POLLIN or POLLOUT) to wait for in
// `Wants()`. Owned by one thread. A client's `serverName` is the name or address this agent's
// certificate must carry (empty: the context's), so that one context serves many agents.
class TlsStream {
public:
    TlsStream(TlsContextPtr context, int fd, bool server, const std::string& serverName = {});
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // One step of the handshake: 1 done, 0 to be called again once Wants() is ready, -1 refused
    // or failed with the reason in `error`.
    int Handshake(String& error);
    // As recv with MSG_DONTWAIT: the bytes read; 0 when the peer closed; -1 with errno EAGAIN
    // (wait for Wants()) or another error.
    ssize_t Read(void* buffer, size_t size);
    // As send with MSG_DONTWAIT: the bytes taken (all of `size` or none); -1 with errno EAGAIN or
    // another error.
    ssize_t Write(const void* buffer, size_t size);
    // True when decrypted bytes wait to be read without any from the socket.
    bool Pending() const;
    // Sends the closing alert if the socket takes it at once.
    void Close();
    short Wants() const { return wants_; }
    // The negotiated protocol, "TLSv1.3".
    const char* Version() const;

private:
    struct State;
    std::unique_ptr<State> state_;
    short wants_;
};
