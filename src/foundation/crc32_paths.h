// The ways the CRC-32 register takes in a buffer: the table code, which runs anywhere, and the
// processor's own instructions where it has them. crc32.cpp picks one once; the tests hold them to
// one another. Every path gives the same register for the same input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Feeds n bytes at p to the register `crc` and returns the new register (no inversions).
using Crc32Update = uint32_t (*)(uint32_t crc, const unsigned char* p, size_t n);

// The table code (16 bytes per step, long buffers as three interleaved strides).
uint32_t Crc32UpdatePortable(uint32_t crc, const unsigned char* p, size_t n);

struct Crc32Path {
    const char* name;  // a short label for benchmarks and test messages
    Crc32Update update;
};

// The paths this processor can run, fastest first: carry-less multiplication on x86-64 (512 bits
// at a time with AVX-512, else 128), the CRC-32 instructions on 64-bit ARM. Empty where it offers
// none of them.
std::vector<Crc32Path> Crc32ProcessorPaths();
