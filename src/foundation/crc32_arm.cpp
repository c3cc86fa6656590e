// CRC-32 by the CRC32 instructions of 64-bit ARM processors that have them: they compute this very
// register step (reflected polynomial 0xEDB88320, no inversions), eight bytes per instruction.
#if defined(__aarch64__)

#include <arm_acle.h>

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

QDX_TARGET_CRC uint32_t UpdateByInstruction(uint32_t crc, const unsigned char* p, size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        crc = __crc32d(crc, word);
    }
    for (; n > 0; p++, n--) crc = __crc32b(crc, *p);
    return crc;
}

}  // namespace

std::vector<Crc32Path> Crc32ProcessorPaths() {
    if (!ProcessorHasCrc32Instructions()) return {};
    return {{"ARMv8 CRC32", UpdateByInstruction}};
}

#endif
