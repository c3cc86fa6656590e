// Packet cipher throughput: EncodeData as a reply uses it, and as reference the textbook 8-bit
// cipher feedback loop (register shifted with memmove) on the same Twofish key and data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "foundation/sha1.h"
#include "foundation/twofish.h"
#include "protocol/packet.h"

namespace {

String Payload(int size) {
    String data;
    data.SetLength(size);
    for (int i = 0; i < size; i++) data.Data()[i] = static_cast<char>(i * 131 + (i >> 7));
    return data;
}

// Argument: bytes per call. Includes the per-call SHA-1 and key schedule, as a reply pays them.
void BM_EncodeData(benchmark::State& state) {
    Twofish_initialise();
    const String data = Payload(static_cast<int>(state.range(0)));
    const String key("0123456789ABCDEF");
    for (auto _ : state) {
        String packet = EncodeData(data, key, 4);
        benchmark::DoNotOptimize(packet.Data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeData)->Arg(64 << 10)->Arg(1 << 20);

void BM_DecodeData(benchmark::State& state) {
    Twofish_initialise();
    const String key("0123456789ABCDEF");
    const String cipher = EncodeData(Payload(static_cast<int>(state.range(0))), key, 0);
    for (auto _ : state) {
        String plain = DecodeData(cipher, key);
        benchmark::DoNotOptimize(plain.Data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DecodeData)->Arg(64 << 10)->Arg(1 << 20);

// Reference: the same cipher written straight from its definition.
void TextbookCfb8(const char* key, int keyLength, const unsigned char* in, unsigned char* out,
                  size_t n) {
    THash_SHA sha;
    Twofish_key xkey;
    Twofish_prepare_key(sha.GetHash(key, keyLength), 20, &xkey);
    unsigned char reg[16];
    unsigned char stream[16];
    std::memset(reg, 0xFF, sizeof reg);
    Twofish_encrypt(&xkey, reg, reg);
    for (size_t i = 0; i < n; i++) {
        Twofish_encrypt(&xkey, reg, stream);
        out[i] = static_cast<unsigned char>(in[i] ^ stream[0]);
        std::memmove(reg, reg + 1, 15);
        reg[15] = out[i];
    }
}

void BM_TextbookCfb8(benchmark::State& state) {
    Twofish_initialise();
    const String data = Payload(static_cast<int>(state.range(0)));
    const char key[] = "0123456789ABCDEF";
    std::vector<unsigned char> out(static_cast<size_t>(data.Length()));
    for (auto _ : state) {
        TextbookCfb8(key, 16, reinterpret_cast<const unsigned char*>(data.Data()), out.data(),
                     out.size());
        benchmark::DoNotOptimize(out.data());
    }
    // Same bytes as EncodeData, or the comparison means nothing.
    if (String(reinterpret_cast<const char*>(out.data()), data.Length()) !=
        EncodeData(data, key, 0))
        state.SkipWithError("reference and EncodeData disagree");
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TextbookCfb8)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
