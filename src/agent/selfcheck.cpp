#include "agent/selfcheck.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/sha1.h"
#include "foundation/twofish.h"
#include "protocol/packet.h"

namespace {

const char kCheckKey[] = "test ciphering";
const char kCheckText[] = "123456789012345";  // with its NUL: one 16-byte block

[[noreturn]] void FailCheck() {
    std::puts("Error");
    std::fflush(stdout);
    std::exit(3);
}

bool BlockRoundTrip() {
    THash_SHA sha;
    const unsigned char* digest = sha.GetHash(kCheckKey, static_cast<int>(std::strlen(kCheckKey)));
    Twofish_key key;
    Twofish_prepare_key(digest, 20, &key);
    unsigned char block[16];
    unsigned char cipher[16];
    unsigned char plain[16];
    std::memcpy(block, kCheckText, sizeof block);
    Twofish_encrypt(&key, block, cipher);
    Twofish_decrypt(&key, cipher, plain);
    return std::memcmp(block, plain, sizeof block) == 0;
}

bool PacketCipherRoundTrip() {
    String text(kCheckText);
    String key(kCheckKey);
    return DecodeData(EncodeData(text, key, 0), key) == text;
}

}  // namespace

void RunSelfChecks(int verbosedetail) {
    std::puts("CPU testing .. Ok");
    if (verbosedetail) {
        struct stat st {};
        std::printf("stat.size: %d\n", static_cast<int>(sizeof st.st_size));
        std::printf("srec.size: %d\n", static_cast<int>(sizeof(int64_t)));
        std::puts("int64 = double");
    }
    std::fflush(stdout);
    Twofish_initialise();
    std::printf("Basic encyption checking .. ");
    if (!BlockRoundTrip()) FailCheck();
    std::puts("Ok");
    std::printf("QDX encyption checking .. ");
    if (!PacketCipherRoundTrip()) FailCheck();
    std::puts("Ok");
    std::fflush(stdout);
}
