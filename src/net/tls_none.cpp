// The TLS transport of a build without TLS: no context can be made.
#include <poll.h>

#include <cerrno>

#include "net/tls.h"

class TlsContext {};

namespace {
constexpr char kNoTls[] = "this build of qdx has no TLS";
}

bool TlsAvailable() {
    return false;
}

TlsContextPtr NewServerTlsContext(const TlsOptions&, String& error) {
    error = kNoTls;
    return nullptr;
}

TlsContextPtr NewClientTlsContext(const TlsOptions&, String& error) {
    error = kNoTls;
    return nullptr;
}

struct TlsStream::State {};

TlsStream::TlsStream(TlsContextPtr, int, bool, const std::string&) : wants_(POLLIN) {}
TlsStream::~TlsStream() = default;

int TlsStream::Handshake(String& error) {
    error = kNoTls;
    return -1;
}

ssize_t TlsStream::Read(void*, size_t) {
    errno = ENOTCONN;
    return -1;
}

ssize_t TlsStream::Write(const void*, size_t) {
    errno = ENOTCONN;
    return -1;
}

bool TlsStream::Pending() const {
    return false;
}

void TlsStream::Close() {}

const char* TlsStream::Version() const {
    return "";
}
