#include "foundation/md5.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

namespace {

// Per-step left rotations and additive constants (the integer parts of |sin(i + 1)| * 2^32).
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kAdd[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t LoadLE(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Transform(uint32_t state[4], const unsigned char* block) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = LoadLE(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        uint32_t next = b + std::rotl(a + f + kAdd[i] + m[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void Wipe(void* p, size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

}  // namespace

void MD5Open(MD5Context* ctx) {
    ctx->state[0] = 0x67452301u;
    ctx->state[1] = 0xefcdab89u;
    ctx->state[2] = 0x98badcfeu;
    ctx->state[3] = 0x10325476u;
    ctx->bitCount = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void MD5Digest(MD5Context* ctx, const void* data, unsigned len) {
    if (!data || len == 0) return;
    auto* bytes = static_cast<const unsigned char*>(data);
    size_t fill = size_t(ctx->bitCount / 8 % 64);
    ctx->bitCount += uint64_t(len) * 8;
    size_t n = len;
    if (fill > 0) {
        size_t take = std::min(n, 64 - fill);
        std::memcpy(ctx->buffer + fill, bytes, take);
        bytes += take;
        n -= take;
        if (fill + take < 64) return;
        Transform(ctx->state, ctx->buffer);
    }
    for (; n >= 64; n -= 64, bytes += 64) Transform(ctx->state, bytes);
    std::memcpy(ctx->buffer, bytes, n);
}

void MD5Close(MD5Context* ctx, unsigned char out[16]) {
    size_t fill = size_t(ctx->bitCount / 8 % 64);
    uint64_t bits = ctx->bitCount;
    ctx->buffer[fill++] = 0x80;
    if (fill > 56) {
        std::memset(ctx->buffer + fill, 0, 64 - fill);
        Transform(ctx->state, ctx->buffer);
        fill = 0;
    }
    std::memset(ctx->buffer + fill, 0, 56 - fill);
    for (int i = 0; i < 8; ++i) ctx->buffer[56 + i] = static_cast<unsigned char>(bits >> (8 * i));
    Transform(ctx->state, ctx->buffer);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<unsigned char>(ctx->state[i] >> (8 * j));
    Wipe(ctx, sizeof *ctx);
}
