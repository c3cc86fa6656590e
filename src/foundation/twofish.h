// The Twofish block cipher: 16-byte blocks, keys of 0 to 32 bytes, one block at a time (the
// packet cipher builds its feedback mode on top). Keys are expanded into fully keyed S-box tables
// so a block costs table look-ups only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// A prepared key: four key-dependent S-box tables (each already multiplied through its MDS
// column), then the 40 round subkeys. Owned by its caller; read-only while in use, so one key may
// serve several threads.
struct Twofish_key {
    uint32_t s[4][256];
    uint32_t K[40];
};

// Set once Twofish_initialise has built the shared tables.
extern std::atomic<bool> Twofish_initialised;

// Builds the shared tables (once per process) and runs the full self-test: platform primitives,
// known answers, iterated sequences and short-key expansion. Any failure ends the process through
// Twofish_fatal. Must run before the first Twofish_prepare_key; safe to call again, from any
// thread (the self-test then runs again).
void Twofish_initialise();

// Expands key_len (0 to 32) bytes at key into xkey. The key is zero-padded to 16, 24 or 32 bytes,
// whichever is the first to hold it. Fatal when not initialised or for any other length.
void Twofish_prepare_key(const unsigned char* key, int key_len, Twofish_key* xkey);

// One block; in and out may be the same buffer.
void Twofish_encrypt(const Twofish_key* xkey, const unsigned char in[16], unsigned char out[16]);
void Twofish_decrypt(const Twofish_key* xkey, const unsigned char in[16], unsigned char out[16]);

// 8-bit cipher feedback over n bytes from in to out (which may be the same buffer): each byte is
// XORed with the first byte of the encryption of the 16-byte shift register `reg`, whose bytes
// then move up by one to take the ciphertext byte at the end. With decrypt, `in` is the
// ciphertext; otherwise `out` is. `reg` is left as the next byte would find it. The same as a
// Twofish_encrypt per byte, at a fraction of the cost: the register stays in machine words and
// only the first byte of each block is computed.
void Twofish_cfb8(const Twofish_key* xkey, unsigned char reg[16], const unsigned char* in,
                  unsigned char* out, size_t n, bool decrypt);

// Prints "\nTwofish fatal error: <msg>\nProcess terminated\n" on standard error and ends the
// process with exit code 3.
[[noreturn]] void Twofish_fatal(const char* msg);
