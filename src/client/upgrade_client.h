// The client side of a self-upgrade: UpgradeCode on a connection that stays open, the executable
// and its digest trailer, and the replies that come before the agent closes.
#pragma once

#include "client/client.h"
#include "foundation/string.h"

// Reads one reply packet (4-byte length, then the ciphertext) and opens it, without waiting for
// the agent to close the connection and without reading past it. Replies announcing more than
// kMaxReplyPacket are refused. Through `tls` when given.
QdxReplyText QdxReadReply(int sock, const String& sessionKey, int timeoutMs,
                          TlsStream* tls = nullptr);

// The trailer that follows the executable: its 16-byte MD5 digest encrypted under the session key
// of the UpgradeCode request, without length prefix.
String UpgradeTrailer(const unsigned char digest[16], const String& sessionKey);

// Sends UpgradeCode for an executable of `size` bytes and waits for the answer, on the plain or
// (endpoint.tls) the TLS port. True with `connection` open when the agent answered "200" and
// waits for the executable; otherwise false, with the agent's answer or the failure in `reply`
// (NoSessionKey, before any connection, when the system gives no random bytes for a key).
// `sessionKey` is the key the trailer must be encrypted under.
bool QdxStartUpgrade(const QdxEndpoint& endpoint, long long size, String& sessionKey,
                     QdxReplyText& reply, QdxConnection& connection);
// The same on the plain port, for callers that drive the socket themselves: the socket, theirs to
// close, or -1.
int QdxStartUpgrade(const QdxEndpoint& endpoint, long long size, String& sessionKey,
                    QdxReplyText& reply);
