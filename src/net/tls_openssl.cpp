// The TLS transport over OpenSSL 3.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "net/tls.h"

// The library's context with the pre-shared key its callbacks hand out.
class TlsContext {
public:
    explicit TlsContext(SSL_CTX* ctx) : ctx(ctx) {}
    ~TlsContext() { SSL_CTX_free(ctx); }
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* ctx;
    std::string pskIdentity;
    std::string psk;
    std::string serverName;
    bool verifyPeer = true;
};

namespace {

// TLS 1.2 suites: ephemeral key exchange and AEAD only.
constexpr char kTls12Suites[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-PSK-CHACHA20-POLY1305";

// TLS 1.3 suites a pre-shared key from the client's callback can be used with.
constexpr char kPskSuites[] = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";

// The library's reason for the last failure, or `fallback`.
String LibraryError(const char* fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return String(fallback);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return String(text);
}

String FileError(const char* what, const std::string& path) {
    String error("cannot read ");
    error += what;
    error += " '";
    error += path.c_str();
    error += "': ";
    error += LibraryError("unknown error");
    return error;
}

const TlsContext* Owner(SSL* ssl) {
    return static_cast<const TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

unsigned int ServerPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int room) {
    const TlsContext* owner = Owner(ssl);
    if (owner == nullptr || identity == nullptr || owner->psk.empty() ||
        owner->pskIdentity != identity || owner->psk.size() > room)
        return 0;
    std::memcpy(psk, owner->psk.data(), owner->psk.size());
    return static_cast<unsigned int>(owner->psk.size());
}

unsigned int ClientPsk(SSL* ssl, const char*, char* identity, unsigned int identityRoom,
                       unsigned char* psk, unsigned int room) {
    const TlsContext* owner = Owner(ssl);
    if (owner == nullptr || owner->psk.empty() || owner->psk.size() > room ||
        owner->pskIdentity.size() + 1 > identityRoom)
        return 0;
    std::memcpy(identity, owner->pskIdentity.c_str(), owner->pskIdentity.size() + 1);
    std::memcpy(psk, owner->psk.data(), owner->psk.size());
    return static_cast<unsigned int>(owner->psk.size());
}

// What both ends share: versions, suites, and everything that is switched off.
std::shared_ptr<TlsContext> NewContext(const SSL_METHOD* method, const TlsOptions& options,
                                       String& error) {
    SSL_CTX* raw = SSL_CTX_new(method);
    if (raw == nullptr) {
        error = LibraryError("cannot make a TLS context");
        return nullptr;
    }
    auto context = std::make_shared<TlsContext>(raw);
    SSL_CTX_set_app_data(raw, context.get());
    SSL_CTX_set_min_proto_version(raw, options.allowTls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET |
                                 SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(raw, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(raw, 0);
    SSL_CTX_set_max_early_data(raw, 0);
    if (SSL_CTX_set_cipher_list(raw, kTls12Suites) != 1) {
        error = LibraryError("no TLS 1.2 suite available");
        return nullptr;
    }
    if (!options.certFile.empty() &&
        SSL_CTX_use_certificate_chain_file(raw, options.certFile.c_str()) != 1) {
        error = FileError("certificate", options.certFile);
        return nullptr;
    }
    if (!options.keyFile.empty()) {
        if (SSL_CTX_use_PrivateKey_file(raw, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            error = FileError("key", options.keyFile);
            return nullptr;
        }
        if (SSL_CTX_check_private_key(raw) != 1) {
            error = "the key in '";
            error += options.keyFile.c_str();
            error += "' does not belong to the certificate";
            return nullptr;
        }
    }
    if (!options.pskFile.empty() && !ReadPskFile(options.pskFile, context->psk, error))
        return nullptr;
    context->pskIdentity = options.pskIdentity;
    return context;
}

// The library writes to the socket with write(), and a peer that has gone raises SIGPIPE, which
// ends a client that does not ignore it (the agent does). In a client's calls SIGPIPE is blocked,
// and one that the call raised is taken before it is let through again.
class PipeGuard {
public:
    explicit PipeGuard(bool active) : active_(active) {
        if (!active_) return;
        sigset_t pipe = PipeSet();
        pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
        wasPending_ = Pending();
    }
    ~PipeGuard() {
        if (!active_) return;
        int saved = errno;
        if (!wasPending_ && Pending()) {
            sigset_t pipe = PipeSet();
            timespec now{0, 0};
            while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved;
    }
    PipeGuard(const PipeGuard&) = delete;
    PipeGuard& operator=(const PipeGuard&) = delete;

private:
    static sigset_t PipeSet() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        return pipe;
    }
    static bool Pending() {
        sigset_t pending;
        return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    bool active_;
    bool wasPending_ = false;
    sigset_t previous_{};
};

}  // namespace

bool TlsAvailable() {
    return true;
}

TlsContextPtr NewServerTlsContext(const TlsOptions& options, String& error) {
    std::shared_ptr<TlsContext> context = NewContext(TLS_server_method(), options, error);
    if (context == nullptr) return nullptr;
    SSL_CTX* ctx = context->ctx;
    if (!options.caFile.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options.caFile.c_str());
        if (names == nullptr || SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            error = FileError("certificate authority", options.caFile);
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (!context->psk.empty()) SSL_CTX_set_psk_server_callback(ctx, ServerPsk);
    return context;
}

TlsContextPtr NewClientTlsContext(const TlsOptions& options, String& error) {
    std::shared_ptr<TlsContext> context = NewContext(TLS_client_method(), options, error);
    if (context == nullptr) return nullptr;
    SSL_CTX* ctx = context->ctx;
    context->serverName = options.serverName;
    context->verifyPeer = options.verifyPeer;
    if (!context->psk.empty()) {
        SSL_CTX_set_psk_client_callback(ctx, ClientPsk);
        // A key handed out by this callback goes with SHA-256 suites only: offering no other
        // keeps an agent that also has a certificate (and would rather use a SHA-384 suite) from
        // answering with the certificate instead of the key.
        if (SSL_CTX_set_ciphersuites(ctx, kPskSuites) != 1) {
            error = LibraryError("no TLS 1.3 suite for a pre-shared key");
            return nullptr;
        }
    }
    if (options.verifyPeer) {
        bool loaded = options.caFile.empty()
                          ? SSL_CTX_set_default_verify_paths(ctx) == 1
                          : SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            error = FileError("certificate authority", options.caFile);
            return nullptr;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    return context;
}

struct TlsStream::State {
    TlsContextPtr context;
    SSL* ssl = nullptr;
    bool client = false;
};

TlsStream::TlsStream(TlsContextPtr context, int fd, bool server, const std::string& serverName)
    : state_(std::make_unique<State>()), wants_(POLLIN) {
    state_->context = std::move(context);
    state_->ssl = SSL_new(state_->context->ctx);
    if (state_->ssl == nullptr) return;
    SSL_set_fd(state_->ssl, fd);
    if (server) {
        SSL_set_accept_state(state_->ssl);
        return;
    }
    SSL_set_connect_state(state_->ssl);
    state_->client = true;
    const std::string& name = serverName.empty() ? state_->context->serverName : serverName;
    if (name.empty() || !state_->context->verifyPeer) return;
    unsigned char address[16];
    bool literal = inet_pton(AF_INET, name.c_str(), address) == 1 ||
                   inet_pton(AF_INET6, name.c_str(), address) == 1;
    if (literal) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(state_->ssl), name.c_str());
    } else {
        SSL_set_tlsext_host_name(state_->ssl, name.c_str());
        SSL_set1_host(state_->ssl, name.c_str());
    }
}

TlsStream::~TlsStream() {
    if (state_->ssl != nullptr) SSL_free(state_->ssl);
}

int TlsStream::Handshake(String& error) {
    if (state_->ssl == nullptr) {
        error = "cannot start a TLS connection";
        return -1;
    }
    PipeGuard guard(state_->client);
    ERR_clear_error();
    int rc = SSL_do_handshake(state_->ssl);
    if (rc == 1) return 1;
    int kind = SSL_get_error(state_->ssl, rc);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        wants_ = kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return 0;
    }
    if (kind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
        error = errno != 0 ? std::strerror(errno) : "connection closed during the handshake";
    else
        error = LibraryError("handshake failed");
    long verify = SSL_get_verify_result(state_->ssl);
    if (verify != X509_V_OK) {
        error += " (";
        error += X509_verify_cert_error_string(verify);
        error += ")";
    }
    return -1;
}

ssize_t TlsStream::Read(void* buffer, size_t size) {
    if (state_->ssl == nullptr) {
        errno = ENOTCONN;
        return -1;
    }
    PipeGuard guard(state_->client);
    ERR_clear_error();
    size_t got = 0;
    if (SSL_read_ex(state_->ssl, buffer, size, &got) == 1) return static_cast<ssize_t>(got);
    int kind = SSL_get_error(state_->ssl, 0);
    if (kind == SSL_ERROR_ZERO_RETURN) return 0;
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        wants_ = kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        errno = EAGAIN;
        return -1;
    }
    ERR_clear_error();
    if (kind != SSL_ERROR_SYSCALL || errno == 0) errno = ECONNRESET;
    return -1;
}

ssize_t TlsStream::Write(const void* buffer, size_t size) {
    if (state_->ssl == nullptr) {
        errno = ENOTCONN;
        return -1;
    }
    PipeGuard guard(state_->client);
    ERR_clear_error();
    size_t put = 0;
    if (SSL_write_ex(state_->ssl, buffer, size, &put) == 1) return static_cast<ssize_t>(put);
    int kind = SSL_get_error(state_->ssl, 0);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        wants_ = kind == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        errno = EAGAIN;
        return -1;
    }
    ERR_clear_error();
    if (kind != SSL_ERROR_SYSCALL || errno == 0) errno = EPIPE;
    return -1;
}

bool TlsStream::Pending() const {
    return state_->ssl != nullptr && SSL_pending(state_->ssl) > 0;
}

void TlsStream::Close() {
    if (state_->ssl == nullptr || !SSL_is_init_finished(state_->ssl)) return;
    PipeGuard guard(state_->client);
    ERR_clear_error();
    SSL_shutdown(state_->ssl);
    ERR_clear_error();
}

const char* TlsStream::Version() const {
    return state_->ssl != nullptr ? SSL_get_version(state_->ssl) : "";
}
