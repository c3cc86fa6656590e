// Independent reference for the packet cipher: the Botan library's Twofish in 8-bit cipher
// feedback, keyed and started exactly as the agent's cipher, on the same data sizes.
#include <benchmark/benchmark.h>
#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>

#include <cstring>
#include <vector>

#include "foundation/sha1.h"
#include "protocol/packet.h"

namespace {

const char kKey[] = "0123456789ABCDEF";

void BM_BotanTwofishCfb8(benchmark::State& state) {
    size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++) data[i] = static_cast<uint8_t>(i * 131 + (i >> 7));

    THash_SHA sha;
    const unsigned char* digest = sha.GetHash(kKey, 16);
    uint8_t key[24] = {};
    std::memcpy(key, digest, 20);
    // Initial register: the all-0xFF block encrypted once.
    auto block = Botan::BlockCipher::create("Twofish");
    block->set_key(key, sizeof key);
    uint8_t iv[16];
    std::memset(iv, 0xFF, sizeof iv);
    block->encrypt(iv);

    auto mode = Botan::Cipher_Mode::create("Twofish/CFB(8)", Botan::ENCRYPTION);
    std::vector<uint8_t> buffer;
    for (auto _ : state) {
        buffer = data;
        mode->set_key(key, sizeof key);
        mode->start(iv, sizeof iv);
        mode->process(buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.data());
    }
    // Same bytes as the agent's cipher, or the comparison means nothing.
    String plain(reinterpret_cast<const char*>(data.data()), static_cast<int>(size));
    String ours = EncodeData(plain, kKey, 0);
    if (std::memcmp(ours.Data(), buffer.data(), size) != 0)
        state.SkipWithError("Botan and EncodeData disagree");
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BotanTwofishCfb8)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
