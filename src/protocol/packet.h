// The bytes on the agent's TCP connection: packet layout constants, little-endian length fields,
// the packet cipher (Twofish in 8-bit cipher feedback under the SHA-1 of a key text) and the
// password digest carried in every request.
#pragma once

#include <cstddef>
#include <memory>

#include "foundation/string.h"
#include "foundation/twofish.h"

// Request packet (the server sends it); P, K and R are the field lengths, all length fields are
// unsigned little-endian:
//
//   offset      width  field
//   0           4      L: bytes after this field; L + 4 is the whole packet
//   4           2      auth: 0x03 0x12
//   6           2      P
//   8           P      MD5 of the agent password (16 bytes), or nothing when the password is empty
//   8+P         2      K
//   10+P        K      session key, encrypted under the password text (no length prefix)
//   10+P+K      4      R
//   14+P+K      R      request text, encrypted under the session key (no length prefix)
//   14+P+K+R    ...    ignored up to the end given by L
//
// Reply packet (the agent answers with it):
//
//   0           4      N: length of the ciphertext
//   4           N      reply text ending in CR, encrypted under the request's session key
//
// The OFFSET_ values below are 1-based positions as String counts them; OFFSET_KEY still needs
// P added and OFFSET_REQUEST P + K.
constexpr int OFFSET_PACKET = 1;
constexpr int SIZELEN_PACKET = 4;
constexpr int OFFSET_AUTH = OFFSET_PACKET + SIZELEN_PACKET;
constexpr int SIZELEN_AUTH = 2;
constexpr int OFFSET_PSWD = OFFSET_AUTH + SIZELEN_AUTH;
constexpr int SIZELEN_PSWD = 2;
constexpr int OFFSET_KEY = OFFSET_PSWD + SIZELEN_PSWD;
constexpr int SIZELEN_KEY = 2;
constexpr int OFFSET_REQUEST = OFFSET_KEY + SIZELEN_KEY;
constexpr int SIZELEN_REQUEST = 4;
constexpr int SIZELEN_MINIMUM = SIZELEN_AUTH + SIZELEN_PSWD + 4 + SIZELEN_KEY + SIZELEN_REQUEST;

constexpr unsigned char AUTH_BYTE_1 = 0x03;
constexpr unsigned char AUTH_BYTE_2 = 0x12;

static_assert(OFFSET_AUTH == 5 && OFFSET_PSWD == 7 && OFFSET_KEY == 9 && OFFSET_REQUEST == 11);
static_assert(SIZELEN_MINIMUM == 14);

// The byte length of data as a little-endian integer cut to its `digits` low bytes. A digits
// value above 4 is a program error; 0 or less gives the empty String.
String EncodeLength(const String& data, int digits);

// The unsigned little-endian integer of 1, 2 or 4 bytes at p; 0 for any other width below 5.
// A width above 4 is a program error. The caller guarantees `digits` readable bytes.
unsigned DecodeLength(const unsigned char* p, int digits);

// The ciphertext of data under key, preceded by EncodeLength(ciphertext, digits) when digits is
// non-zero. Empty data gives the empty String, without prefix. Twofish_initialise() runs first when
// nobody has called it yet.
String EncodeData(const String& data, const String& key, int digits);

// The plaintext of data (no length prefix expected) under key; empty data gives empty.
String DecodeData(const String& data, const String& key);

// The 16-byte MD5 digest of the password bytes; the empty String for an empty password.
String EncodePswd(const String& password);

enum class CipherDirection { Encrypt, Decrypt };

// The packet cipher on raw bytes: n bytes from in to out under the key text (keyLength bytes).
// in and out may be the same buffer. Every call starts from the initial register, as every
// packet field does. Twofish_initialise() runs first when nobody has called it yet.
void CipherBytes(const char* key, int keyLength, const unsigned char* in, unsigned char* out,
                 size_t n, CipherDirection direction);

// A key text made ready for the packet cipher: the Twofish key schedule of its SHA-1 digest and
// the initial shift register. Preparing one costs a digest, a key schedule and a block, which a
// key used for several fields (the session key opens the request and closes the reply) or for
// every request (the password) need not pay again. Read-only once made: any number of threads
// may use one at once.
class PacketKey {
public:
    PacketKey(const char* key, int keyLength);
    PacketKey(const PacketKey&) = delete;
    PacketKey& operator=(const PacketKey&) = delete;

    // As CipherBytes under the key text this was prepared from.
    void Run(const unsigned char* in, unsigned char* out, size_t n,
             CipherDirection direction) const;
    // As EncodeData and DecodeData under the key text this was prepared from.
    String Encode(const String& data, int digits) const;
    String Decode(const String& data) const;

private:
    Twofish_key key_;
    unsigned char initial_[16];
};

// What checking a request needs of the configured password, prepared once per password text.
struct PasswordKeys {
    explicit PasswordKeys(const String& text);
    String password;  // the text they were prepared from
    String digest;    // EncodePswd(password), as the packet carries it
    PacketKey key;    // opens the session key
};

// The prepared keys of `password`. One entry shared by every thread is kept, so requests under an
// unchanged password reuse it and a changed password replaces it. Safe from any thread.
std::shared_ptr<const PasswordKeys> PreparePassword(const String& password);
