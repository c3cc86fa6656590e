#include "foundation/sha1.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "foundation/check.h"

namespace {

constexpr uint32_t kInitial[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

inline uint32_t LoadBE(const unsigned char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return std::endian::native == std::endian::little ? THash_SHA::REVERSE32(w) : w;
}

// Wipes memory in a way the optimiser may not drop as a dead store.
void Wipe(void* p, size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

}  // namespace

THash_SHA::THash_SHA() : fHashSize(20) {
    Init();
}

THash_SHA::~THash_SHA() {
    Burn();
}

void THash_SHA::Init() {
    Burn();
    std::memcpy(fDigest, kInitial, sizeof fDigest);
    fInitialized = true;
}

void THash_SHA::Burn() {
    Wipe(fDigest, sizeof fDigest);
    Wipe(fBuffer, sizeof fBuffer);
    fBufferCount = 0;
    fBitCount = 0;
    fInitialized = false;
}

void THash_SHA::Transform(const unsigned char* block) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = LoadBE(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = fDigest[0], b = fDigest[1], c = fDigest[2], d = fDigest[3], e = fDigest[4];
    auto step = [&](uint32_t f, uint32_t k, uint32_t wi) {
        uint32_t t = std::rotl(a, 5) + f + e + k + wi;
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = t;
    };
    for (int i = 0; i < 20; ++i) step((b & c) | (~b & d), 0x5A827999u, w[i]);
    for (int i = 20; i < 40; ++i) step(b ^ c ^ d, 0x6ED9EBA1u, w[i]);
    for (int i = 40; i < 60; ++i) step((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, w[i]);
    for (int i = 60; i < 80; ++i) step(b ^ c ^ d, 0xCA62C1D6u, w[i]);
    fDigest[0] += a;
    fDigest[1] += b;
    fDigest[2] += c;
    fDigest[3] += d;
    fDigest[4] += e;
    Wipe(w, sizeof w);
}

void THash_SHA::Update(const void* p, int len) {
    if (!fInitialized) Init();
    if (!p || len <= 0) return;
    auto* bytes = static_cast<const unsigned char*>(p);
    size_t n = size_t(len);
    fBitCount += uint64_t(n) * 8;
    if (fBufferCount > 0) {
        size_t take = std::min(n, sizeof fBuffer - size_t(fBufferCount));
        std::memcpy(fBuffer + fBufferCount, bytes, take);
        fBufferCount += int(take);
        bytes += take;
        n -= take;
        if (fBufferCount < int(sizeof fBuffer)) return;
        Transform(fBuffer);
        fBufferCount = 0;
    }
    for (; n >= sizeof fBuffer; n -= sizeof fBuffer, bytes += sizeof fBuffer) Transform(bytes);
    std::memcpy(fBuffer, bytes, n);
    fBufferCount = int(n);
}

void THash_SHA::Final() {
    QDX_CHECK(fInitialized, "fInitialized", "ciplib");
    fBuffer[fBufferCount++] = 0x80;
    if (fBufferCount > 56) {
        std::memset(fBuffer + fBufferCount, 0, sizeof fBuffer - size_t(fBufferCount));
        Transform(fBuffer);
        fBufferCount = 0;
    }
    std::memset(fBuffer + fBufferCount, 0, 56 - size_t(fBufferCount));
    for (int i = 0; i < 8; ++i)
        fBuffer[56 + i] = static_cast<unsigned char>(fBitCount >> (56 - 8 * i));
    Transform(fBuffer);
    for (uint32_t& word : fDigest)
        if (std::endian::native == std::endian::little) word = REVERSE32(word);
    Wipe(fBuffer, sizeof fBuffer);
    fBufferCount = 0;
    fBitCount = 0;
    fInitialized = false;
}

const unsigned char* THash_SHA::GetHash(const void* p, int len) {
    if (p) {
        Init();
        Update(p, len);
        Final();
    } else {
        QDX_CHECK(!fInitialized, "!fInitialized", "ciplib");
    }
    return reinterpret_cast<const unsigned char*>(fDigest);
}
