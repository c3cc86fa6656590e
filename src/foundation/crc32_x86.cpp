// CRC-32 by carry-less multiplication (PCLMULQDQ), for x86-64 processors that have it.
//
// The message is a polynomial over GF(2) and the register's value is that polynomial times x^32
// modulo P, the CRC polynomial. Loaded little-endian, 16 message bytes form a 128-bit value whose
// bit 0 is the highest power (the CRC is bit-reflected). Folding replaces a 128-bit value X that
// lies `d` bits ahead of the next 16 bytes by a value of at most 96 bits congruent to X * x^d
// modulo P, and adds it to those bytes: X's first 64 bits are multiplied by x^(d+64) mod P, its
// last 64 by x^d mod P. Four such values run side by side over 64-byte steps, so the
// multiplications overlap; they are then folded into one, which carries on 16 bytes at a time.
// What is left, 16 bytes congruent to everything read so far and the tail of under 16 bytes, goes
// through the table code from a zero register. Processors with the 512-bit form (VPCLMULQDQ with
// AVX-512) run four 64-byte values over 256-byte steps first: each 128-bit lane folds on its own.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "foundation/crc32_paths.h"

namespace {

// x^n mod P in plain order (bit i is the coefficient of x^i), P = x^32 + 0x04C11DB7.
constexpr uint32_t PowerOfXModP(unsigned n) {
    uint64_t v = 1;
    for (unsigned i = 0; i < n; i++) {
        v <<= 1;
        if (v >> 32) v ^= 0x104C11DB7ull;
    }
    return static_cast<uint32_t>(v);
}

// Multiplying two reflected 64-bit values gives their product times x as a reflected 128-bit
// value, so the constant for a shift by x^n is x^(n-1) mod P, reflected into 64 bits.
constexpr uint64_t ShiftConstant(unsigned n) {
    uint32_t v = PowerOfXModP(n - 1);
    uint64_t r = 0;
    for (int bit = 0; bit < 32; bit++)
        if (v >> bit & 1) r |= uint64_t(1) << (63 - bit);
    return r;
}

constexpr uint64_t kAhead512Low = ShiftConstant(512 + 64), kAhead512High = ShiftConstant(512);
constexpr uint64_t kAhead128Low = ShiftConstant(128 + 64), kAhead128High = ShiftConstant(128);
constexpr uint64_t kAhead2048Low = ShiftConstant(2048 + 64), kAhead2048High = ShiftConstant(2048);

// Buffers shorter than this go to the table code, which has nothing to set up.
constexpr size_t kShortest = 256;

[[gnu::target("pclmul")]] inline __m128i Fold(__m128i x, __m128i shift, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(x, shift, 0x00);
    __m128i high = _mm_clmulepi64_si128(x, shift, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

inline __m128i Load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i Pair(uint64_t high, uint64_t low) {
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// Folds the rest of the buffer into x 16 bytes at a time, then hands x and the last bytes to the
// table code.
[[gnu::target("pclmul")]] uint32_t FoldRest(__m128i x, const unsigned char* p, size_t n) {
    const __m128i ahead128 = Pair(kAhead128High, kAhead128Low);
    for (; n >= 16; p += 16, n -= 16) x = Fold(x, ahead128, Load(p));
    alignas(16) unsigned char rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
    return Crc32UpdatePortable(Crc32UpdatePortable(0, rest, sizeof rest), p, n);
}

[[gnu::target("pclmul")]] uint32_t UpdateByMultiplying(uint32_t crc, const unsigned char* p,
                                                       size_t n) {
    if (n < kShortest) return Crc32UpdatePortable(crc, p, n);
    const __m128i ahead512 = Pair(kAhead512High, kAhead512Low);
    const __m128i ahead128 = Pair(kAhead128High, kAhead128Low);
    // A register r over a message equals a zero register over the message with r added to its
    // first four bytes.
    __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = Load(p + 16), x2 = Load(p + 32), x3 = Load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; p += 64, n -= 64) {
        x0 = Fold(x0, ahead512, Load(p));
        x1 = Fold(x1, ahead512, Load(p + 16));
        x2 = Fold(x2, ahead512, Load(p + 32));
        x3 = Fold(x3, ahead512, Load(p + 48));
    }
    x1 = Fold(x0, ahead128, x1);
    x2 = Fold(x1, ahead128, x2);
    x3 = Fold(x2, ahead128, x3);
    return FoldRest(x3, p, n);
}

// Buffers shorter than this take the 128-bit path.
constexpr size_t kShortestWide = 1024;

[[gnu::target("avx512f,vpclmulqdq")]] inline __m512i FoldLanes(__m512i x, __m512i shift,
                                                               __m512i next) {
    __m512i low = _mm512_clmulepi64_epi128(x, shift, 0x00);
    __m512i high = _mm512_clmulepi64_epi128(x, shift, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96);  // low ^ high ^ next
}

[[gnu::target("avx512f,vpclmulqdq")]] inline __m512i LoadWide(const unsigned char* p) {
    return _mm512_loadu_si512(p);
}

[[gnu::target("avx512f,vpclmulqdq")]] inline __m512i EveryLane(uint64_t high, uint64_t low) {
    long long h = static_cast<long long>(high), l = static_cast<long long>(low);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

[[gnu::target("avx512f,vpclmulqdq,pclmul")]] uint32_t UpdateByWideMultiplying(
    uint32_t crc, const unsigned char* p, size_t n) {
    if (n < kShortestWide) return UpdateByMultiplying(crc, p, n);
    const __m512i ahead2048 = EveryLane(kAhead2048High, kAhead2048Low);
    const __m512i ahead512 = EveryLane(kAhead512High, kAhead512Low);
    const __m128i ahead128 = Pair(kAhead128High, kAhead128Low);
    __m512i start = _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, static_cast<long long>(crc));
    __m512i x0 = _mm512_xor_si512(LoadWide(p), start);
    __m512i x1 = LoadWide(p + 64), x2 = LoadWide(p + 128), x3 = LoadWide(p + 192);
    p += 256;
    n -= 256;
    for (; n >= 256; p += 256, n -= 256) {
        x0 = FoldLanes(x0, ahead2048, LoadWide(p));
        x1 = FoldLanes(x1, ahead2048, LoadWide(p + 64));
        x2 = FoldLanes(x2, ahead2048, LoadWide(p + 128));
        x3 = FoldLanes(x3, ahead2048, LoadWide(p + 192));
    }
    x1 = FoldLanes(x0, ahead512, x1);
    x2 = FoldLanes(x1, ahead512, x2);
    x3 = FoldLanes(x2, ahead512, x3);
    // The four lanes lie one after the other.
    alignas(64) unsigned char lanes[64];
    _mm512_store_si512(lanes, x3);
    __m128i x = Load(lanes);
    for (int lane = 1; lane < 4; lane++) x = Fold(x, ahead128, Load(lanes + 16 * lane));
    return FoldRest(x, p, n);
}

}  // namespace

std::vector<Crc32Path> Crc32ProcessorPaths() {
    __builtin_cpu_init();
    std::vector<Crc32Path> paths;
    if (!__builtin_cpu_supports("pclmul")) return paths;
    if (__builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f"))
        paths.push_back({"VPCLMULQDQ (AVX-512)", UpdateByWideMultiplying});
    paths.push_back({"PCLMULQDQ", UpdateByMultiplying});
    return paths;
}

#endif
