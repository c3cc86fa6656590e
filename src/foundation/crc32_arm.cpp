// CRC-32 by the CRC32 instructions of 64-bit ARM processors that have them: they compute this very
// register step (reflected polynomial 0xEDB88320, no inversions), eight bytes per instruction.
#if defined(__aarch64__)

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/crc32_paths.h"
#include "platform/cpu.h"

#if defined(__clang__)
#define QDX_TARGET_CRC [[gnu::target("crc")]]
#else
#define QDX_TARGET_CRC [[gnu::target("+crc")]]
#endif

namespace {

// The instructions themselves: the compilers' intrinsics for them differ in name and in whether
// their header offers them to a function that enables the extension by attribute.
QDX_TARGET_CRC inline uint32_t Step8(uint32_t crc, uint64_t word) {
    __asm__("crc32x %w0, %w0, %x1" : "+r"(crc) : "r"(word));
    return crc;
}

QDX_TARGET_CRC inline uint32_t Step1(uint32_t crc, uint32_t byte) {
    __asm__("crc32b %w0, %w0, %w1" : "+r"(crc) : "r"(byte));
    return crc;
}

QDX_TARGET_CRC uint32_t UpdateByInstruction(uint32_t crc, const unsigned char* p, size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);  // little-endian: the first byte in the lowest bits
        crc = Step8(crc, word);
    }
    for (; n > 0; p++, n--) crc = Step1(crc, *p);
    return crc;
}

}  // namespace

std::vector<Crc32Path> Crc32ProcessorPaths() {
    if (!ProcessorHasCrc32Instructions()) return {};
    return {{"ARMv8 CRC32", UpdateByInstruction}};
}

#endif
