// Twofish block cost and CRC-32 throughput, with zlib's crc32 on the same buffer as reference.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/crc32.h"
#include "foundation/crc32_paths.h"
#include "foundation/twofish.h"

namespace {

// One block per iteration, each encrypting the previous output as the packet cipher's feedback
// does, so the figure is the latency of a block. Argument: key length in bytes.
void BM_TwofishEncrypt(benchmark::State& state) {
    Twofish_initialise();
    unsigned char key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
    Twofish_key xkey;
    Twofish_prepare_key(key, int(state.range(0)), &xkey);
    unsigned char block[16] = {};
    for (auto _ : state) {
        Twofish_encrypt(&xkey, block, block);
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(state.range(0) * 8) + "-bit key, ns per block");
}
BENCHMARK(BM_TwofishEncrypt)->Arg(16)->Arg(24)->Arg(32);

// Every request prepares a key for its packet.
void BM_TwofishPrepareKey(benchmark::State& state) {
    Twofish_initialise();
    unsigned char key[32] = {1, 2, 3};
    Twofish_key xkey;
    for (auto _ : state) {
        Twofish_prepare_key(key, int(state.range(0)), &xkey);
        benchmark::DoNotOptimize(xkey.K[0]);
        key[0]++;
    }
}
BENCHMARK(BM_TwofishPrepareKey)->Arg(16)->Arg(20)->Arg(32);

const std::vector<unsigned char>& CrcBuffer() {
    static const std::vector<unsigned char> buffer = [] {
        std::vector<unsigned char> b(size_t(64) << 20);
        std::mt19937_64 rng(42);
        for (size_t i = 0; i < b.size(); i += 8) {
            uint64_t v = rng();
            std::memcpy(&b[i], &v, 8);
        }
        return b;
    }();
    return buffer;
}

// Argument: bytes per call, from the start of a 64 MiB random buffer. The label names the path
// this processor takes.
void BM_CRC32_TCRC32(benchmark::State& state) {
    const auto& buf = CrcBuffer();
    const int len = int(state.range(0));
    TCRC32 crc;
    for (auto _ : state) benchmark::DoNotOptimize(crc.GetBlockCRC(buf.data(), len));
    state.SetBytesProcessed(int64_t(state.iterations()) * len);
    std::vector<Crc32Path> paths = Crc32ProcessorPaths();
    state.SetLabel(paths.empty() ? "table code" : paths.front().name);
}
BENCHMARK(BM_CRC32_TCRC32)->Arg(4096)->Arg(64 << 20);

// The table code alone, which processors without CRC instructions run.
void BM_CRC32_TableCode(benchmark::State& state) {
    const auto& buf = CrcBuffer();
    const size_t len = size_t(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc32UpdatePortable(0xFFFFFFFFu, buf.data(), len));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}
BENCHMARK(BM_CRC32_TableCode)->Arg(64 << 20);

void BM_CRC32_zlib(benchmark::State& state) {
    const auto& buf = CrcBuffer();
    const uInt len = uInt(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, buf.data(), len));
    state.SetBytesProcessed(int64_t(state.iterations()) * len);
}
BENCHMARK(BM_CRC32_zlib)->Arg(4096)->Arg(64 << 20);

}  // namespace
