#include "foundation/crc32.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "foundation/crc32_paths.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

using Table = std::array<uint32_t, 256>;
using SliceTables = std::array<Table, kSlices>;
using ShiftTables = std::array<Table, 4>;

constexpr uint32_t ByteStep(uint32_t crc, const Table& t0, unsigned char byte) {
    return t0[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

// tables[0] is the classic bytewise table; tables[k][b] is the register contribution of byte b
// followed by k zero bytes, which lets the buffer loop fold 16 bytes per step with independent
// look-ups. All tables are computed by the compiler: nothing to initialise at run time.
constexpr SliceTables MakeSliceTables() {
    SliceTables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t r = b;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ kPolynomial : r >> 1;
        t[0][b] = r;
    }
    for (int k = 1; k < kSlices; ++k)
        for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr SliceTables kTables = MakeSliceTables();

// Feeding zero bytes is linear in the register, so it is a 32x32 bit matrix over GF(2), kept as
// the images of the 32 single bits. One zero byte is one table step; 2^k zero bytes are that
// matrix squared k times. shift[k][b] is the register that byte b at byte position k becomes
// after `zeros` (a power of two) zero bytes.
using BitImages = std::array<uint32_t, 32>;

constexpr uint32_t Apply(const BitImages& m, uint32_t v) {
    uint32_t r = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (v >> bit & 1) r ^= m[bit];
    return r;
}

constexpr ShiftTables MakeShiftTables(size_t zeros) {
    BitImages image{};
    for (int bit = 0; bit < 32; ++bit) image[bit] = ByteStep(uint32_t(1) << bit, kTables[0], 0);
    for (size_t n = 1; n < zeros; n *= 2) {
        BitImages squared{};
        for (int bit = 0; bit < 32; ++bit) squared[bit] = Apply(image, image[bit]);
        image = squared;
    }
    ShiftTables s{};
    for (int k = 0; k < 4; ++k)
        for (uint32_t b = 0; b < 256; ++b) s[k][b] = Apply(image, b << (8 * k));
    return s;
}

// Long buffers run three independent registers over three adjacent strides, so the look-up chains
// overlap instead of waiting on each other, then join them. Large strides keep the joins rare on
// big buffers; the short stride lets buffers of a few KiB profit too.
constexpr size_t kLongStride = 4096;
constexpr size_t kShortStride = 1024;
static_assert((kLongStride & (kLongStride - 1)) == 0 && (kShortStride & (kShortStride - 1)) == 0);
constexpr ShiftTables kLongShift = MakeShiftTables(kLongStride);
constexpr ShiftTables kShortShift = MakeShiftTables(kShortStride);
constexpr size_t kWarmBytes = 256;

inline uint32_t Load32LE(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t SkipZeros(const ShiftTables& s, uint32_t crc) {
    return s[0][crc & 0xFF] ^ s[1][(crc >> 8) & 0xFF] ^ s[2][(crc >> 16) & 0xFF] ^ s[3][crc >> 24];
}

[[gnu::always_inline]] inline uint32_t Fold16(uint32_t crc, const unsigned char* p) {
    const auto& t = kTables;
    uint32_t w0 = Load32LE(p) ^ crc;
    uint32_t w1 = Load32LE(p + 4);
    uint32_t w2 = Load32LE(p + 8);
    uint32_t w3 = Load32LE(p + 12);
    return t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
           t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
           t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
           t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
}

// Consumes whole groups of three strides from p and n. Register arithmetic: feeding A then B from
// register r equals feeding A from r, skipping |B| zero bytes, and XOR-ing the register that B
// alone produces from zero.
template <size_t Stride>
[[gnu::always_inline]] inline uint32_t FoldStrides(uint32_t crc, const ShiftTables& shift,
                                                   const unsigned char*& p, size_t& n) {
    while (n >= 3 * Stride) {
        // The hardware prefetcher follows the first register's run but not the jumps of the
        // other two; warm the start of their next runs so a jump does not wait on memory.
        if (n >= 6 * Stride) {
            for (size_t line = 0; line < kWarmBytes; line += 64) {
                __builtin_prefetch(p + 4 * Stride + line);
                __builtin_prefetch(p + 5 * Stride + line);
            }
        }
        uint32_t c0 = crc, c1 = 0, c2 = 0;
        for (size_t i = 0; i < Stride; i += kSlices) {
            c0 = Fold16(c0, p + i);
            c1 = Fold16(c1, p + Stride + i);
            c2 = Fold16(c2, p + 2 * Stride + i);
        }
        crc = SkipZeros(shift, SkipZeros(shift, c0) ^ c1) ^ c2;
        p += 3 * Stride;
        n -= 3 * Stride;
    }
    return crc;
}

}  // namespace

uint32_t Crc32UpdatePortable(uint32_t crc, const unsigned char* p, size_t n) {
    crc = FoldStrides<kLongStride>(crc, kLongShift, p, n);
    crc = FoldStrides<kShortStride>(crc, kShortShift, p, n);
    for (; n >= kSlices; n -= kSlices, p += kSlices) crc = Fold16(crc, p);
    while (n--) crc = ByteStep(crc, kTables[0], *p++);
    return crc;
}

#if !defined(__x86_64__) && !defined(__aarch64__)
std::vector<Crc32Path> Crc32ProcessorPaths() {
    return {};
}
#endif

namespace {

// Chosen on first use, by what the processor offers.
uint32_t UpdateBuffer(uint32_t crc, const unsigned char* p, size_t n) {
    static const Crc32Update update = [] {
        std::vector<Crc32Path> paths = Crc32ProcessorPaths();
        return paths.empty() ? Crc32UpdatePortable : paths.front().update;
    }();
    return update(crc, p, n);
}

}  // namespace

void TCRC32::UpdateCRC(unsigned char byte) {
    fCRC = ByteStep(fCRC, kTables[0], byte);
}

void TCRC32::UpdateCRC(const void* p, int len) {
    if (!p || len < -1) return;
    auto* bytes = static_cast<const unsigned char*>(p);
    size_t n = len == -1 ? std::strlen(static_cast<const char*>(p)) : size_t(len);
    fCRC = UpdateBuffer(fCRC, bytes, n);
}

uint32_t TCRC32::GetBlockCRC(const void* p, int len) {
    InitCRC();
    UpdateCRC(p, len);
    return GetCRC();
}
