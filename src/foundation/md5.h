// MD5 message digest (16 bytes), used for the password field of request packets and to check
// upgrade images.
#pragma once

#include <cstdint>

// One running digest; owned and used by one thread at a time.
struct MD5Context {
    uint32_t state[4];
    uint64_t bitCount;
    unsigned char buffer[64];
};

// Starts a new message.
void MD5Open(MD5Context* ctx);
// Absorbs len bytes at data (nothing when data is null).
void MD5Digest(MD5Context* ctx, const void* data, unsigned len);
// Pads, writes the 16-byte digest to out and wipes the context.
void MD5Close(MD5Context* ctx, unsigned char out[16]);
