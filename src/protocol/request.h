// One request: first the raw packet bytes as they arrive, then (after ParseInitRequest) the
// decrypted request text with its session key, or, in the object the dispatcher hands to a
// handler, the parameter lines alone.
#pragma once

#include <netinet/in.h>

#include <memory>

#include "foundation/peer_address.h"
#include "foundation/string.h"

class PacketKey;

// Request text, as the server writes it: the command name and LF, then one parameter per line
// each ended by LF, then one CR. Parameters are read by position, counted from 1.
class ZPRequest {
public:
    ZPRequest() = default;

    // Replace the text; the session key stays.
    ZPRequest& operator=(const String& text);
    ZPRequest& operator=(String&& text);
    ZPRequest& operator=(const char* text);

    const String& Text() const { return text_; }

    // Buffers n received bytes behind those already held (n <= 0 adds nothing).
    void Append(const char* data, int n);

    // True when the buffered bytes hold a complete request packet: at least the 14 bytes of the
    // smallest packet, and L + 4 (as a signed 32-bit sum) no more than the buffered length.
    bool WholePacket() const;

    // Checks, authenticates and opens the packet held as text: lengths, auth bytes, the password
    // digest (compared in constant time) against `password`. On success the text becomes the
    // decrypted request and the session key is set; on failure the session key is empty and
    // false is returned. With "-vd" the field sizes are reported as detail messages about peer.
    bool ParseInitRequest(const String& password, const PeerAddress& peer);
    // True when the last ParseInitRequest refused a well-formed packet for its password digest.
    bool WrongPassword() const { return wrongPassword_; }

    String GetSessionKey() const { return sessionKey_; }
    // The session key prepared for the packet cipher once the request has been opened (null
    // before), so that the reply is closed under it without preparing the key again.
    const std::shared_ptr<const PacketKey>& SessionCipher() const { return sessionCipher_; }

    // The number of LF bytes in the text; a last line without LF does not count.
    int GetParamsCount() const;

    // Line `index` (1-based; 1 or less gives the first line) without its LF, trimmed when trim is
    // non-zero; empty when there is no such line.
    String GetParam(int index, int trim) const;

    // The trimmed value of the first counted line "name=value" whose trimmed name equals `name`
    // exactly; empty when there is none.
    String GetNamedParam(const char* name) const;

private:
    String text_;
    String sessionKey_;
    std::shared_ptr<const PacketKey> sessionCipher_;
    bool wrongPassword_ = false;
};
