#include "protocol/packet.h"

#include <cstring>
#include <mutex>

#include "foundation/check.h"
#include "foundation/md5.h"
#include "foundation/sha1.h"
#include "foundation/twofish.h"

namespace {

constexpr int kBlock = 16;
constexpr int kKeyDigest = 20;  // SHA-1 digest length, used as a 160-bit Twofish key

// Lays out `data` ciphered by `run` behind its length prefix of `digits` bytes.
template <typename Run>
String Transformed(const String& data, int digits, Run run) {
    if (data.Length() == 0) return String();
    // The ciphertext is as long as the data, so the prefix can be computed from the data.
    String prefix = EncodeLength(data, digits);
    int prefixLength = prefix.Length();
    String out;
    out.SetLength(prefixLength + data.Length());
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out.Data());
    if (prefixLength > 0) std::memcpy(bytes, prefix.Data(), static_cast<size_t>(prefixLength));
    run(reinterpret_cast<const unsigned char*>(data.Data()), bytes + prefixLength,
        static_cast<size_t>(data.Length()));
    return out;
}

String Transform(const String& data, const String& key, int digits, CipherDirection direction) {
    return Transformed(data, digits, [&](const unsigned char* in, unsigned char* out, size_t n) {
        CipherBytes(key.Data(), key.Length(), in, out, n, direction);
    });
}

std::mutex passwordMutex;
std::shared_ptr<const PasswordKeys> preparedPassword;  // guarded by passwordMutex

}  // namespace

void CipherBytes(const char* key, int keyLength, const unsigned char* in, unsigned char* out,
                 size_t n, CipherDirection direction) {
    PacketKey prepared(key, keyLength);
    prepared.Run(in, out, n, direction);
}

PacketKey::PacketKey(const char* key, int keyLength) {
    // The agent initialises at start-up; tools, tests and fuzzers get it on first use.
    if (!Twofish_initialised.load(std::memory_order_acquire)) Twofish_initialise();
    THash_SHA sha;
    const unsigned char* digest =
        sha.GetHash(key != nullptr ? key : "", key != nullptr && keyLength > 0 ? keyLength : 0);
    Twofish_prepare_key(digest, kKeyDigest, &key_);
    unsigned char ones[kBlock];
    std::memset(ones, 0xFF, sizeof ones);
    Twofish_encrypt(&key_, ones, initial_);
}

void PacketKey::Run(const unsigned char* in, unsigned char* out, size_t n,
                    CipherDirection direction) const {
    unsigned char reg[kBlock];
    std::memcpy(reg, initial_, sizeof reg);
    Twofish_cfb8(&key_, reg, in, out, n, direction == CipherDirection::Decrypt);
}

String PacketKey::Encode(const String& data, int digits) const {
    return Transformed(data, digits, [&](const unsigned char* in, unsigned char* out, size_t n) {
        Run(in, out, n, CipherDirection::Encrypt);
    });
}

String PacketKey::Decode(const String& data) const {
    return Transformed(data, 0, [&](const unsigned char* in, unsigned char* out, size_t n) {
        Run(in, out, n, CipherDirection::Decrypt);
    });
}

PasswordKeys::PasswordKeys(const String& text)
    : password(text), digest(EncodePswd(text)), key(text.Data(), text.Length()) {}

std::shared_ptr<const PasswordKeys> PreparePassword(const String& password) {
    {
        std::lock_guard<std::mutex> lock(passwordMutex);
        if (preparedPassword != nullptr && preparedPassword->password == password)
            return preparedPassword;
    }
    // Prepared outside the lock: a change of password never holds up requests under the old one.
    auto fresh = std::make_shared<const PasswordKeys>(password);
    std::lock_guard<std::mutex> lock(passwordMutex);
    preparedPassword = fresh;
    return fresh;
}

String EncodeLength(const String& data, int digits) {
    QDX_CHECK(digits <= 4, "digits<=sizeof(len)", "qdx_const");
    if (digits <= 0) return String();
    auto len = static_cast<unsigned>(data.Length());
    char bytes[4];
    for (int i = 0; i < digits; i++) bytes[i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    return String(bytes, digits);
}

unsigned DecodeLength(const unsigned char* p, int digits) {
    QDX_CHECK(digits <= 4, "digits<=sizeof(int)", "qdx_const");
    switch (digits) {
        case 1:
            return p[0];
        case 2:
            return p[0] | (unsigned{p[1]} << 8);
        case 4:
            return p[0] | (unsigned{p[1]} << 8) | (unsigned{p[2]} << 16) | (unsigned{p[3]} << 24);
        default:
            return 0;
    }
}

String EncodeData(const String& data, const String& key, int digits) {
    return Transform(data, key, digits, CipherDirection::Encrypt);
}

String DecodeData(const String& data, const String& key) {
    return Transform(data, key, 0, CipherDirection::Decrypt);
}

String EncodePswd(const String& password) {
    if (password.Length() == 0) return String();
    MD5Context context;
    MD5Open(&context);
    MD5Digest(&context, password.Data(), static_cast<unsigned>(password.Length()));
    unsigned char digest[16];
    MD5Close(&context, digest);
    return String(reinterpret_cast<const char*>(digest), sizeof digest);
}
