#include "protocol/request.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "config/messages.h"
#include "config/settings.h"
#include "protocol/packet.h"

namespace {

const unsigned char* Bytes(const String& s) {
    return reinterpret_cast<const unsigned char*>(s.Data());
}

// Equality of two byte strings whose running time depends on the lengths only, never on where
// the first differing byte is. Lengths that differ never compare equal.
bool SameBytesConstantTime(const unsigned char* a, int aLength, const unsigned char* b,
                           int bLength) {
    unsigned difference = aLength != bLength ? 1u : 0u;
    for (int i = 0; i < aLength; i++) difference |= a[i] ^ (i < bLength ? b[i] : 0u);
    return difference == 0;
}

// Calls f(line, length) for each line ended by LF, in order, until f returns true.
template <typename F>
void ForEachCountedLine(const String& text, F f) {
    const char* p = text.Data();
    const char* end = p + text.Length();
    while (p != nullptr && p < end) {
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (lf == nullptr) return;
        if (f(p, static_cast<int>(lf - p))) return;
        p = lf + 1;
    }
}

}  // namespace

ZPRequest& ZPRequest::operator=(const String& text) {
    text_ = text;
    return *this;
}

ZPRequest& ZPRequest::operator=(String&& text) {
    text_ = std::move(text);
    return *this;
}

ZPRequest& ZPRequest::operator=(const char* text) {
    text_ = text;
    return *this;
}

void ZPRequest::Append(const char* data, int n) {
    if (data != nullptr && n > 0) text_.AddData(data, n);
}

bool ZPRequest::WholePacket() const {
    if (text_.Length() < SIZELEN_MINIMUM) return false;
    uint32_t declared = DecodeLength(Bytes(text_) + (OFFSET_PACKET - 1), SIZELEN_PACKET);
    // A declared length near 2^31 or above wraps negative and counts as whole; the exact-length
    // check of ParseInitRequest refuses it then.
    auto total = static_cast<int32_t>(declared + SIZELEN_PACKET);
    return total <= text_.Length();
}

bool ZPRequest::ParseInitRequest(const String& password, const PeerAddress& peer) {
    sessionKey_ = String();
    sessionCipher_.reset();
    wrongPassword_ = false;
    const bool detail = VerboseDetailOn();
    auto report = [&](const char* format, uint32_t value) {
        if (detail) showmessage(format, peer, msgDetail, 1, static_cast<int>(value));
    };
    // Every length is summed in 64 bits and checked against the buffer before the field behind
    // it is read, so no length field can move a read outside the buffer.
    const uint64_t length = static_cast<uint64_t>(text_.Length());
    report("<-- TCP packet size: %d\n", static_cast<uint32_t>(length));
    if (length < SIZELEN_MINIMUM) return false;
    const unsigned char* packet = Bytes(text_);

    const uint64_t declared = DecodeLength(packet + (OFFSET_PACKET - 1), SIZELEN_PACKET);
    report("<-- QDX packet size: %d\n", static_cast<uint32_t>(declared));
    if (declared + SIZELEN_PACKET != length) return false;

    const uint64_t pswdLength = DecodeLength(packet + (OFFSET_PSWD - 1), SIZELEN_PSWD);
    report("<-- Pswd size: %d\n", static_cast<uint32_t>(pswdLength));
    if (SIZELEN_MINIMUM + pswdLength > length) return false;
    const unsigned char* pswd = packet + (OFFSET_PSWD - 1) + SIZELEN_PSWD;

    const uint64_t keyLength = DecodeLength(packet + (OFFSET_KEY - 1) + pswdLength, SIZELEN_KEY);
    report("<-- Key size: %d\n", static_cast<uint32_t>(keyLength));
    if (SIZELEN_MINIMUM + pswdLength + keyLength > length) return false;
    const unsigned char* key = packet + (OFFSET_KEY - 1) + pswdLength + SIZELEN_KEY;

    const uint64_t requestLength =
        DecodeLength(packet + (OFFSET_REQUEST - 1) + pswdLength + keyLength, SIZELEN_REQUEST);
    report("<-- Req size: %d\n", static_cast<uint32_t>(requestLength));
    if (SIZELEN_MINIMUM + pswdLength + keyLength + requestLength > length) return false;
    const unsigned char* request =
        packet + (OFFSET_REQUEST - 1) + pswdLength + keyLength + SIZELEN_REQUEST;

    if (packet[OFFSET_AUTH - 1] != AUTH_BYTE_1 || packet[OFFSET_AUTH] != AUTH_BYTE_2) return false;

    std::shared_ptr<const PasswordKeys> keys = PreparePassword(password);
    if (!SameBytesConstantTime(pswd, static_cast<int>(pswdLength), Bytes(keys->digest),
                               keys->digest.Length())) {
        if (detail) showmessage("<-- Wrong password or MD5 error\n", peer, msgDetail, 0);
        wrongPassword_ = true;
        return false;
    }

    String sessionKey =
        keys->key.Decode(String(reinterpret_cast<const char*>(key), static_cast<int>(keyLength)));
    auto sessionCipher = std::make_shared<const PacketKey>(sessionKey.Data(), sessionKey.Length());
    String text = sessionCipher->Decode(
        String(reinterpret_cast<const char*>(request), static_cast<int>(requestLength)));
    text_ = std::move(text);
    sessionKey_ = std::move(sessionKey);
    sessionCipher_ = std::move(sessionCipher);
    return true;
}

int ZPRequest::GetParamsCount() const {
    int count = 0;
    ForEachCountedLine(text_, [&](const char*, int) {
        count++;
        return false;
    });
    return count;
}

String ZPRequest::GetParam(int index, int trim) const {
    if (index < 1) index = 1;
    const char* p = text_.Data();
    const char* end = p + text_.Length();
    if (p == nullptr) return String();
    for (int line = 1; line < index; line++) {
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (lf == nullptr) return String();
        p = lf + 1;
    }
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    String value(p, static_cast<int>((lf != nullptr ? lf : end) - p));
    if (trim) value.Trim();
    return value;
}

String ZPRequest::GetNamedParam(const char* name) const {
    String result;
    if (name == nullptr) return result;
    ForEachCountedLine(text_, [&](const char* line, int length) {
        String param(line, length);
        param.Trim();
        int equals = param.Pos('=');
        if (equals == 0) return false;
        String left = param.Copy(1, equals - 1);
        if (left.Trim() != name) return false;
        result = param.Copy(equals + 1, param.Length() - equals);
        result.Trim();
        return true;
    });
    return result;
}
