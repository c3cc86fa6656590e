#include "foundation/twofish.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

std::atomic<bool> Twofish_initialised{false};

namespace {

// ---- Word primitives. Blocks and keys are little-endian byte strings on every host. ----

inline uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void Put32(uint32_t v, unsigned char* p) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t Rol(uint32_t x, int n) {
    return std::rotl(x, n);
}
inline uint32_t Ror(uint32_t x, int n) {
    return std::rotr(x, n);
}

inline uint32_t Bswap(uint32_t x) {
    return (x >> 24) | ((x >> 8) & 0x0000FF00u) | ((x << 8) & 0x00FF0000u) | (x << 24);
}

// Byte n of x, counting from the least significant.
inline unsigned SelectByte(uint32_t x, int n) {
    return (x >> (8 * n)) & 0xFF;
}

void Wipe(void* p, size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

// ---- Fixed tables, built once by Twofish_initialise. ----

// The two 8-bit permutations q0 and q1.
unsigned char q_table[2][256];
// mds_table[j][x]: column j of the MDS matrix times q(x), q being the permutation that ends
// column j of the h function, so the last permutation and the matrix cost one look-up.
uint32_t mds_table[4][256];
std::once_flag tables_once;

// Which permutation each column of h applies at each stage. Stage 0 is used by 32-byte keys only,
// stage 1 by keys of 24 bytes and more; stage 4 is folded into mds_table.
constexpr int kQOrder[4][5] = {{1, 1, 0, 0, 1}, {0, 1, 1, 0, 0}, {0, 0, 0, 1, 1}, {1, 0, 1, 1, 0}};

// The 4-bit tables t0..t3 from which q0 and q1 are built.
constexpr unsigned char kQNibbles[2][4][16] = {
    {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
     {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
     {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
     {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
    {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
     {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
     {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
     {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};

// The MDS matrix, row by row, over GF(2^8) modulo x^8 + x^6 + x^5 + x^3 + 1.
constexpr unsigned char kMds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                      {0x5B, 0xEF, 0xEF, 0x01},
                                      {0xEF, 0x5B, 0x01, 0xEF},
                                      {0xEF, 0x01, 0xEF, 0x5B}};
constexpr unsigned kMdsModulus = 0x169;

// The Reed-Solomon matrix that derives the S-box key words, modulo x^8 + x^6 + x^3 + x^2 + 1.
constexpr unsigned char kRs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                                     {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                                     {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                                     {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};
constexpr unsigned kRsModulus = 0x14D;

unsigned GfMultiply(unsigned a, unsigned b, unsigned modulus) {
    unsigned product = 0;
    for (; b; b >>= 1) {
        if (b & 1) product ^= a;
        a <<= 1;
        if (a & 0x100) a ^= modulus;
    }
    return product;
}

unsigned char BuildQ(int which, unsigned x) {
    const auto& t = kQNibbles[which];
    auto ror4 = [](unsigned v) { return ((v >> 1) | (v << 3)) & 0xF; };
    unsigned a = x >> 4, b = x & 0xF;
    unsigned a1 = a ^ b, b1 = (a ^ ror4(b) ^ (a << 3)) & 0xF;
    unsigned a2 = t[0][a1], b2 = t[1][b1];
    unsigned a3 = a2 ^ b2, b3 = (a2 ^ ror4(b2) ^ (a2 << 3)) & 0xF;
    return static_cast<unsigned char>(t[3][b3] << 4 | t[2][a3]);
}

void BuildTables() {
    for (unsigned x = 0; x < 256; ++x) {
        q_table[0][x] = BuildQ(0, x);
        q_table[1][x] = BuildQ(1, x);
    }
    for (int col = 0; col < 4; ++col) {
        for (unsigned x = 0; x < 256; ++x) {
            unsigned y = q_table[kQOrder[col][4]][x];
            uint32_t word = 0;
            for (int row = 0; row < 4; ++row)
                word |= uint32_t(GfMultiply(kMds[row][col], y, kMdsModulus)) << (8 * row);
            mds_table[col][x] = word;
        }
    }
}

// ---- Key schedule. ----

// h(x, L) with key_words = L0..L(k-1).
uint32_t H(uint32_t x, const uint32_t* key_words, int k_cycles) {
    if (k_cycles < 2 || k_cycles > 4) Twofish_fatal("Twofish h(): Illegal argument");
    uint32_t result = 0;
    for (int col = 0; col < 4; ++col) {
        unsigned b = SelectByte(x, col);
        for (int stage = 4 - k_cycles; stage < 4; ++stage)
            b = q_table[kQOrder[col][stage]][b] ^ SelectByte(key_words[3 - stage], col);
        result ^= mds_table[col][b];
    }
    return result;
}

// The keyed S-boxes: s[col][x] is column col of g applied to byte x alone. The number of
// permutation stages is a template argument, so the 1024 entries are computed without a loop
// over the stages.
template <int kCycles>
void FillKeyedSboxesWith(const uint32_t* sbox_words, Twofish_key* xkey) {
    constexpr int first = 4 - kCycles;
    for (int col = 0; col < 4; ++col) {
        unsigned key_byte[4] = {};
        const unsigned char* q[4] = {};
        for (int stage = first; stage < 4; ++stage) {
            key_byte[stage] = SelectByte(sbox_words[3 - stage], col);
            q[stage] = q_table[kQOrder[col][stage]];
        }
        const uint32_t* mds = mds_table[col];
        for (unsigned x = 0; x < 256; ++x) {
            unsigned b = x;
            if constexpr (first <= 0) b = q[0][b] ^ key_byte[0];
            if constexpr (first <= 1) b = q[1][b] ^ key_byte[1];
            b = q[2][b] ^ key_byte[2];
            b = q[3][b] ^ key_byte[3];
            xkey->s[col][x] = mds[b];
        }
    }
}

void FillKeyedSboxes(const uint32_t* sbox_words, int k_cycles, Twofish_key* xkey) {
    switch (k_cycles) {
        case 2:
            return FillKeyedSboxesWith<2>(sbox_words, xkey);
        case 3:
            return FillKeyedSboxesWith<3>(sbox_words, xkey);
        case 4:
            return FillKeyedSboxesWith<4>(sbox_words, xkey);
        default:
            Twofish_fatal("Twofish fill_keyed_sboxes(): Illegal argument");
    }
}

// One S-box key word: the RS matrix times eight key bytes.
uint32_t RsWord(const unsigned char* eight) {
    uint32_t word = 0;
    for (int row = 0; row < 4; ++row) {
        unsigned v = 0;
        for (int i = 0; i < 8; ++i) v ^= GfMultiply(kRs[row][i], eight[i], kRsModulus);
        word |= uint32_t(v) << (8 * row);
    }
    return word;
}

// ---- Block functions. ----

inline uint32_t G0(const Twofish_key* k, uint32_t x) {
    return k->s[0][x & 0xFF] ^ k->s[1][(x >> 8) & 0xFF] ^ k->s[2][(x >> 16) & 0xFF] ^
           k->s[3][x >> 24];
}

// g of x rotated left by 8 bits, without the rotation.
inline uint32_t G1(const Twofish_key* k, uint32_t x) {
    return k->s[0][x >> 24] ^ k->s[1][x & 0xFF] ^ k->s[2][(x >> 8) & 0xFF] ^
           k->s[3][(x >> 16) & 0xFF];
}

// Encryption round r mixes (a, b) into (c, d). Callers alternate the halves' parts from round to
// round instead of swapping them.
inline void EncryptRound(const Twofish_key* k, int r, uint32_t a, uint32_t b, uint32_t& c,
                         uint32_t& d) {
    const uint32_t t0 = G0(k, a), t1 = G1(k, b);
    c = Ror(c ^ (t0 + t1 + k->K[2 * r + 8]), 1);
    d = Rol(d, 1) ^ (t0 + 2 * t1 + k->K[2 * r + 9]);
}

// ---- Self-test. ----

struct KnownAnswer {
    int key_len;
    unsigned char key[32];
    unsigned char plain[16];
    unsigned char cipher[16];
};

// Published known answers for a 128-, a 192- and a 256-bit key.
constexpr KnownAnswer kKnownAnswers[] = {
    {16,
     {0x9F, 0x58, 0x9F, 0x5C, 0xF6, 0x12, 0x2C, 0x32, 0xB6, 0xBF, 0xEC, 0x2F, 0x2A, 0xE8, 0xC3,
      0x5A},
     {0xD4, 0x91, 0xDB, 0x16, 0xE7, 0xB1, 0xC3, 0x9E, 0x86, 0xCB, 0x08, 0x6B, 0x78, 0x9F, 0x54,
      0x19},
     {0x01, 0x9F, 0x98, 0x09, 0xDE, 0x17, 0x11, 0x85, 0x8F, 0xAA, 0xC3, 0xA3, 0xBA, 0x20, 0xFB,
      0xC3}},
    {24,
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
      0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77},
     {0},
     {0xCF, 0xD1, 0xD2, 0xE5, 0xA9, 0xBE, 0x9C, 0xDF, 0x50, 0x1F, 0x13, 0xB8, 0x92, 0xBD, 0x22,
      0x48}},
    {32,
     {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA,
      0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
      0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF},
     {0},
     {0x37, 0x52, 0x7B, 0xE0, 0x05, 0x23, 0x34, 0xB8, 0x9F, 0x0C, 0xFC, 0xCA, 0xE8, 0x7C, 0xFA,
      0x20}},
};

// Final blocks of the published iterated test (49 steps from all zero) for 16-, 24- and 32-byte
// keys.
constexpr unsigned char kSequenceResults[3][16] = {
    {0x5D, 0x9D, 0x4E, 0xEF, 0xFA, 0x91, 0x51, 0x57, 0x55, 0x24, 0xF1, 0x15, 0x81, 0x5A, 0x12,
     0xE0},
    {0xE7, 0x54, 0x49, 0x21, 0x2B, 0xEE, 0xF9, 0xF4, 0xA3, 0x90, 0xBD, 0x86, 0x0A, 0x64, 0x09,
     0x41},
    {0x37, 0xFE, 0x26, 0xFF, 0x1C, 0xF6, 0x61, 0x75, 0xF5, 0xDD, 0xF4, 0xC3, 0x3B, 0x97, 0xA2,
     0x05}};

void TestPlatform() {
    // volatile keeps the compiler from settling the answers at build time.
    volatile unsigned char bytes[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = bytes[i];
    if (Get32(b) != 0x78563412u || Get32(b + 3) != 0xDEBC9A78u)
        Twofish_fatal("Twofish code: GET32 not implemented properly");
    unsigned char out[8] = {};
    Put32(Get32(b + 4), out + 1);
    if (out[0] != 0 || std::memcmp(out + 1, b + 4, 4) != 0 || out[5] != 0)
        Twofish_fatal("Twofish code: PUT32 not implemented properly");
    volatile uint32_t xv = 0x12345678u;
    uint32_t x = xv;
    if (Rol(x, 1) != 0x2468ACF0u || Ror(x, 1) != 0x091A2B3Cu || Rol(x, 8) != 0x34567812u ||
        Ror(x, 8) != 0x78123456u || Rol(Ror(x, 9), 9) != x)
        Twofish_fatal("Twofish ROL or ROR not properly defined.");
    if (Bswap(x) != 0x78563412u) Twofish_fatal("BSWAP not properly defined.");
    if (SelectByte(x, 0) != 0x78 || SelectByte(x, 1) != 0x56 || SelectByte(x, 2) != 0x34 ||
        SelectByte(x, 3) != 0x12)
        Twofish_fatal("Twofish code: SELECT_BYTE not implemented properly");
}

void TestKnownAnswers() {
    Twofish_key xkey;
    unsigned char block[16];
    for (int round = 0; round < 2; ++round) {
        for (const KnownAnswer& v : kKnownAnswers) {
            Twofish_prepare_key(v.key, v.key_len, &xkey);
            Twofish_encrypt(&xkey, v.plain, block);
            if (std::memcmp(block, v.cipher, 16) != 0) Twofish_fatal("Twofish encryption failure");
            Twofish_decrypt(&xkey, block, block);
            if (std::memcmp(block, v.plain, 16) != 0) Twofish_fatal("Twofish decryption failure");
        }
    }
    Wipe(&xkey, sizeof xkey);
}

// Step i is keyed by the first key_len bytes of plaintext(i-1) || key(i-1) and encrypts
// ciphertext(i-1).
void TestSequence(int key_len, const unsigned char expected[16]) {
    unsigned char key[32] = {};
    unsigned char plain[16] = {};
    unsigned char cipher[16];
    unsigned char check[16];
    Twofish_key xkey;
    for (int step = 0; step < 49; ++step) {
        Twofish_prepare_key(key, key_len, &xkey);
        Twofish_encrypt(&xkey, plain, cipher);
        Twofish_decrypt(&xkey, cipher, check);
        if (std::memcmp(check, plain, 16) != 0)
            Twofish_fatal("Twofish decryption failure in sequence");
        std::memmove(key + 16, key, size_t(key_len) - 16);
        std::memcpy(key, plain, 16);
        std::memcpy(plain, cipher, 16);
    }
    if (std::memcmp(cipher, expected, 16) != 0)
        Twofish_fatal("Twofish encryption failure in sequence");
    Wipe(&xkey, sizeof xkey);
}

void TestOddKeyLengths() {
    unsigned char key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(0x0B + 0x25 * i);
    Twofish_key short_key, padded_key;
    for (int len = 31; len >= 0; --len) {
        key[len] = 0;
        Twofish_prepare_key(key, len, &short_key);
        Twofish_prepare_key(key, len <= 16 ? 16 : len <= 24 ? 24 : 32, &padded_key);
        if (std::memcmp(&short_key, &padded_key, sizeof(Twofish_key)) != 0)
            Twofish_fatal("Odd sized keys do not expand properly");
    }
    Wipe(&short_key, sizeof short_key);
    Wipe(&padded_key, sizeof padded_key);
}

}  // namespace

void Twofish_fatal(const char* msg) {
    std::fprintf(stderr, "\nTwofish fatal error: %s\nProcess terminated\n", msg);
    std::fflush(stderr);
    std::exit(3);
}

void Twofish_initialise() {
    TestPlatform();
    std::call_once(tables_once, BuildTables);
    Twofish_initialised.store(true, std::memory_order_release);
    TestKnownAnswers();
    for (int i = 0; i < 3; ++i) TestSequence(16 + 8 * i, kSequenceResults[i]);
    TestOddKeyLengths();
}

void Twofish_prepare_key(const unsigned char* key, int key_len, Twofish_key* xkey) {
    if (!Twofish_initialised.load(std::memory_order_acquire))
        Twofish_fatal("Twofish implementation was not initialised.");
    if (key_len < 0 || key_len > 32) Twofish_fatal("Twofish_prepare_key: illegal key length");

    unsigned char padded[32] = {};
    if (key_len > 0) std::memcpy(padded, key, size_t(key_len));
    const int k_cycles = key_len <= 16 ? 2 : key_len <= 24 ? 3 : 4;

    // Even and odd key words feed the subkeys; the RS words, last one first, key the S-boxes.
    uint32_t even[4], odd[4], sbox_words[4];
    for (int i = 0; i < k_cycles; ++i) {
        even[i] = Get32(padded + 8 * i);
        odd[i] = Get32(padded + 8 * i + 4);
        sbox_words[k_cycles - 1 - i] = RsWord(padded + 8 * i);
    }

    for (int i = 0; i < 20; ++i) {
        constexpr uint32_t kRho = 0x01010101u;
        uint32_t a = H(uint32_t(2 * i) * kRho, even, k_cycles);
        uint32_t b = Rol(H(uint32_t(2 * i + 1) * kRho, odd, k_cycles), 8);
        xkey->K[2 * i] = a + b;
        xkey->K[2 * i + 1] = Rol(a + 2 * b, 9);
    }
    FillKeyedSboxes(sbox_words, k_cycles, xkey);

    Wipe(padded, sizeof padded);
    Wipe(even, sizeof even);
    Wipe(odd, sizeof odd);
    Wipe(sbox_words, sizeof sbox_words);
}

void Twofish_encrypt(const Twofish_key* xkey, const unsigned char in[16], unsigned char out[16]) {
    const uint32_t* K = xkey->K;
    uint32_t a = Get32(in) ^ K[0];
    uint32_t b = Get32(in + 4) ^ K[1];
    uint32_t c = Get32(in + 8) ^ K[2];
    uint32_t d = Get32(in + 12) ^ K[3];
    for (int r = 0; r < 16; r += 2) {
        EncryptRound(xkey, r, a, b, c, d);
        EncryptRound(xkey, r + 1, c, d, a, b);
    }
    Put32(c ^ K[4], out);
    Put32(d ^ K[5], out + 4);
    Put32(a ^ K[6], out + 8);
    Put32(b ^ K[7], out + 12);
}

void Twofish_cfb8(const Twofish_key* xkey, unsigned char reg[16], const unsigned char* in,
                  unsigned char* out, size_t n, bool decrypt) {
    const uint32_t* K = xkey->K;
    uint32_t w0 = Get32(reg), w1 = Get32(reg + 4), w2 = Get32(reg + 8), w3 = Get32(reg + 12);
    for (size_t i = 0; i < n; ++i) {
        uint32_t a = w0 ^ K[0], b = w1 ^ K[1], c = w2 ^ K[2], d = w3 ^ K[3];
        for (int r = 0; r < 14; r += 2) {
            EncryptRound(xkey, r, a, b, c, d);
            EncryptRound(xkey, r + 1, c, d, a, b);
        }
        // The first output byte comes from c, which the fifteenth round finishes: the last round
        // and the rest of the output block are not needed.
        c = Ror(c ^ (G0(xkey, a) + G1(xkey, b) + K[36]), 1);
        const unsigned char stream = static_cast<unsigned char>(c ^ K[4]);
        const unsigned char input = in[i];  // read first: in and out may alias
        const unsigned char cipher = decrypt ? input : static_cast<unsigned char>(input ^ stream);
        out[i] = static_cast<unsigned char>(input ^ stream);
        w0 = (w0 >> 8) | (w1 << 24);
        w1 = (w1 >> 8) | (w2 << 24);
        w2 = (w2 >> 8) | (w3 << 24);
        w3 = (w3 >> 8) | (uint32_t(cipher) << 24);
    }
    Put32(w0, reg);
    Put32(w1, reg + 4);
    Put32(w2, reg + 8);
    Put32(w3, reg + 12);
}

void Twofish_decrypt(const Twofish_key* xkey, const unsigned char in[16], unsigned char out[16]) {
    const uint32_t* K = xkey->K;
    uint32_t c = Get32(in) ^ K[4];
    uint32_t d = Get32(in + 4) ^ K[5];
    uint32_t a = Get32(in + 8) ^ K[6];
    uint32_t b = Get32(in + 12) ^ K[7];
    for (int r = 14; r >= 0; r -= 2) {
        uint32_t t0 = G0(xkey, c), t1 = G1(xkey, d);
        a = Rol(a, 1) ^ (t0 + t1 + K[2 * r + 10]);
        b = Ror(b ^ (t0 + 2 * t1 + K[2 * r + 11]), 1);
        t0 = G0(xkey, a);
        t1 = G1(xkey, b);
        c = Rol(c, 1) ^ (t0 + t1 + K[2 * r + 8]);
        d = Ror(d ^ (t0 + 2 * t1 + K[2 * r + 9]), 1);
    }
    Put32(a ^ K[0], out);
    Put32(b ^ K[1], out + 4);
    Put32(c ^ K[2], out + 8);
    Put32(d ^ K[3], out + 12);
}
