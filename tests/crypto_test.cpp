// Known answers come from the published Twofish test vectors, FIPS 180-1 (SHA-1), RFC 1321 (MD5)
// and the common CRC-32 check value; the rest are regression values of this agent's wire format.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crc32.h"
#include "foundation/crc32_paths.h"
#include "foundation/md5.h"
#include "foundation/sha1.h"
#include "foundation/twofish.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    if (hex == "-") return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const unsigned char* p, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
    return out;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

// ---------------------------------------------------------------------------------------------
// CRC-32 register

Bytes Repeat(unsigned char byte, size_t n) {
    return Bytes(n, byte);
}

Bytes Ramp(int times) {
    Bytes out;
    for (int t = 0; t < times; ++t)
        for (int b = 0; b < 256; ++b) out.push_back(static_cast<unsigned char>(b));
    return out;
}

uint32_t BytewiseCRC(const unsigned char* p, size_t n, uint32_t start = 0xFFFFFFFFu) {
    // Independent of the table code: the reflected polynomial one bit at a time.
    uint32_t r = start;
    for (size_t i = 0; i < n; ++i) {
        r ^= p[i];
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return r;
}

TEST(CRC32, KnownRegisterValues) {
    struct Case {
        const char* name;
        Bytes message;
        uint32_t value;
    } cases[] = {
        {"empty", {}, 4294967295u},
        {"123456789", FromHex("313233343536373839"), 873187033u},  // 0x340BC6D9, not inverted
        {"2048 x 'a'", Repeat(0x61, 2048), 3150089491u},
        {"00..FF nine times", Ramp(9), 2548738437u},
    };
    for (const Case& c : cases) {
        TCRC32 crc;
        EXPECT_EQ(crc.GetBlockCRC(c.message.data(), int(c.message.size())), c.value) << c.name;
        crc.InitCRC();
        for (unsigned char b : c.message) crc.UpdateCRC(b);
        EXPECT_EQ(crc.GetCRC(), c.value) << c.name << " byte by byte";
    }
}

TEST(CRC32, LengthConventions) {
    TCRC32 crc;
    EXPECT_EQ(crc.GetCRC(), 0xFFFFFFFFu) << "constructor initialises the register";
    EXPECT_EQ(crc.GetBlockCRC("123456789\0garbage", -1), 0x340BC6D9u) << "-1 stops at the NUL";
    crc.UpdateCRC(nullptr, 5);
    crc.UpdateCRC(nullptr, -1);
    EXPECT_EQ(crc.GetCRC(), 0x340BC6D9u) << "a null pointer changes nothing";
    crc.UpdateCRC("x", 0);
    EXPECT_EQ(crc.GetCRC(), 0x340BC6D9u);
    crc.InitCRC();
    crc.UpdateCRC("1234", 4);
    crc.UpdateCRC("56789", 5);
    EXPECT_EQ(crc.GetCRC(), 0x340BC6D9u) << "updates continue the running register";
}

// The buffer path folds many bytes per step and runs long buffers as parallel strides; every
// length and alignment must agree with the plain bit-at-a-time definition.
TEST(CRC32, FastPathMatchesBytewiseDefinition) {
    std::mt19937 rng(20240611);
    const Bytes data = RandomBytes(rng, 200000);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 80; ++n) lengths.push_back(n);
    for (size_t n : {127u, 128u, 129u, 3071u, 3072u, 3073u, 4095u, 4096u, 12287u, 12288u, 12289u,
                     24575u, 24576u, 24593u, 15377u, 36863u, 73735u, 199992u})
        lengths.push_back(n);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t n : lengths) {
            TCRC32 crc;
            uint32_t got = crc.GetBlockCRC(data.data() + offset, int(n));
            ASSERT_EQ(got, BytewiseCRC(data.data() + offset, n))
                << "offset " << offset << " length " << n;
        }
    }
    // A register that does not start at all ones goes through the same joins.
    TCRC32 crc;
    crc.UpdateCRC(data.data(), 13);
    crc.UpdateCRC(data.data() + 13, 50000);
    EXPECT_EQ(crc.GetCRC(), BytewiseCRC(data.data(), 50013));
}

// Every path of this processor (carry-less multiplication or CRC instructions) against the table
// code: random lengths up to 64 KiB and the lengths around each path's set-up and step sizes, at
// every alignment from 0 to 63, from random registers.
TEST(CRC32, ProcessorPathsMatchTableCode) {
    std::vector<Crc32Path> paths = Crc32ProcessorPaths();
    if (paths.empty()) GTEST_SKIP() << "this processor has no CRC-32 instructions";
    std::mt19937 rng(64);
    const Bytes data = RandomBytes(rng, 65536 + 64);
    std::vector<size_t> lengths = {0,    1,    15,   16,   17,   63,   64,    65,   255,
                                   256,  257,  271,  272,  319,  320,  321,   1023, 1024,
                                   1025, 1279, 1280, 1281, 1295, 1296, 65535, 65536};
    for (int i = 0; i < 24; ++i) lengths.push_back(rng() % 65537);
    for (const Crc32Path& path : paths) {
        for (size_t alignment = 0; alignment < 64; ++alignment) {
            for (size_t n : lengths) {
                uint32_t start = static_cast<uint32_t>(rng());
                const unsigned char* p = data.data() + alignment;
                ASSERT_EQ(path.update(start, p, n), Crc32UpdatePortable(start, p, n))
                    << path.name << ": alignment " << alignment << " length " << n;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// SHA-1 and MD5

struct DigestCase {
    const char* message_hex;
    const char* digest_hex;
};

const DigestCase kSha1Cases[] = {
    {"-", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
    {"616263", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
    {"7465737420636970686572696E67", "8D7E5AD023E5CAB7B04D8767498F060D1343B155"},  // test ciphering
    {"6162636462636465636465666465666765666768666768696768696A68696A6B696A6B6C6A6B6C6D6B6C6D6E6C6D"
     "6E6F6D6E6F706E6F7071",
     "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
};

const DigestCase kMd5Cases[] = {
    {"-", "D41D8CD98F00B204E9800998ECF8427E"},
    {"616263", "900150983CD24FB0D6963F7D28E17F72"},
    {"736563726574", "5EBE2294ECD0E0F08EAB7690D2A6EE69"},  // secret
    {"6D65737361676520646967657374", "F96B697D7CB7938D525A2F31AAF161D0"},
};

std::string Md5Hex(const Bytes& message) {
    MD5Context ctx;
    MD5Open(&ctx);
    MD5Digest(&ctx, message.data(), unsigned(message.size()));
    unsigned char out[16];
    MD5Close(&ctx, out);
    return ToHex(out, 16);
}

TEST(SHA1, KnownDigests) {
    for (const DigestCase& c : kSha1Cases) {
        Bytes m = FromHex(c.message_hex);
        THash_SHA sha;
        EXPECT_EQ(sha.GetHashSize(), 20);
        // An empty vector's data() may be null; hash through a real pointer with length 0.
        const unsigned char* h = sha.GetHash(
            m.empty() ? reinterpret_cast<const unsigned char*>("") : m.data(), int(m.size()));
        EXPECT_EQ(ToHex(h, 20), c.digest_hex) << c.message_hex;
    }
}

TEST(SHA1, GetHashRepeatsAndRemembersTheLastDigest) {
    THash_SHA sha;
    std::string first = ToHex(sha.GetHash("abc", 3), 20);
    std::string second = ToHex(sha.GetHash("abc", 3), 20);
    EXPECT_EQ(first, second);
    EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), first)
        << "a null pointer returns the last digest";

    sha.Init();
    sha.Update("a", 1);
    sha.Update("bc", 2);
    sha.Final();
    EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), first) << "Init/Update/Final equals GetHash";

    sha.Burn();
    EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), std::string(40, '0')) << "Burn zeroes the digest";
    EXPECT_EQ(sha.GetHashSize(), 20);
    sha.Update("abc", 3);  // Update after Burn starts a new message by itself
    sha.Final();
    EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), first);
}

// Chunked input crosses the block boundary and the 56-byte padding limit in every way.
TEST(Digests, ChunkedInputEqualsOneShot) {
    std::mt19937 rng(7);
    for (size_t n : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
        Bytes m = RandomBytes(rng, n);
        THash_SHA whole;
        std::string sha_whole = ToHex(whole.GetHash(m.data(), int(n)), 20);
        std::string md5_whole = Md5Hex(m);
        for (size_t chunk : {1u, 3u, 63u, 64u, 65u}) {
            THash_SHA sha;
            MD5Context ctx;
            MD5Open(&ctx);
            for (size_t at = 0; at < n; at += chunk) {
                size_t take = std::min(chunk, n - at);
                sha.Update(m.data() + at, int(take));
                MD5Digest(&ctx, m.data() + at, unsigned(take));
            }
            sha.Final();
            unsigned char out[16];
            MD5Close(&ctx, out);
            EXPECT_EQ(ToHex(sha.GetHash(nullptr, 0), 20), sha_whole)
                << n << " in chunks of " << chunk;
            EXPECT_EQ(ToHex(out, 16), md5_whole) << n << " in chunks of " << chunk;
        }
    }
}

TEST(SHA1DeathTest, MisuseIsAProgramError) {
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.GetHash("abc", 3);
            sha.Final();
        },
        "fInitialized");
    EXPECT_DEATH(
        {
            THash_SHA sha;
            sha.Update("abc", 3);
            sha.GetHash(nullptr, 0);
        },
        "!fInitialized");
}

TEST(SHA1, Reverse32) {
    EXPECT_EQ(THash_SHA::REVERSE32(0x12345678u), 0x78563412u);
}

TEST(MD5, KnownDigests) {
    for (const DigestCase& c : kMd5Cases)
        EXPECT_EQ(Md5Hex(FromHex(c.message_hex)), c.digest_hex) << c.message_hex;
}

TEST(MD5, CloseWipesTheContext) {
    MD5Context ctx;
    MD5Open(&ctx);
    MD5Digest(&ctx, "secret", 6);
    unsigned char out[16];
    MD5Close(&ctx, out);
    const MD5Context zero{};
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

// ---------------------------------------------------------------------------------------------
// Twofish

class Twofish : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Twofish_initialise(); }

    static std::string Encrypt(const Bytes& key, const Bytes& plain) {
        Twofish_key xkey;
        Twofish_prepare_key(key.data(), int(key.size()), &xkey);
        unsigned char out[16];
        Twofish_encrypt(&xkey, plain.data(), out);
        return ToHex(out, 16);
    }
};

TEST_F(Twofish, KnownAnswersInPlace) {
    struct Case {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"9F589F5CF6122C32B6BFEC2F2AE8C35A", "D491DB16E7B1C39E86CB086B789F5419",
         "019F9809DE1711858FAAC3A3BA20FBC3"},
        {"0123456789ABCDEFFEDCBA98765432100011223344556677", "00000000000000000000000000000000",
         "CFD1D2E5A9BE9CDF501F13B892BD2248"},
        {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF",
         "00000000000000000000000000000000", "37527BE0052334B89F0CFCCAE87CFA20"},
    };
    for (const Case& c : cases) {
        Bytes key = FromHex(c.key);
        Bytes block = FromHex(c.plain);
        Twofish_key xkey;
        Twofish_prepare_key(key.data(), int(key.size()), &xkey);
        Twofish_encrypt(&xkey, block.data(), block.data());
        EXPECT_EQ(ToHex(block.data(), 16), c.cipher) << c.key;
        Twofish_decrypt(&xkey, block.data(), block.data());
        EXPECT_EQ(ToHex(block.data(), 16), c.plain) << c.key;
    }
}

// The iterated test: key(i+1) = first key-length bytes of plaintext(i) || key(i),
// plaintext(i+1) = ciphertext(i), 49 steps from all zero.
TEST_F(Twofish, IteratedSequences) {
    struct Case {
        int key_len;
        const char* final_cipher;
    } cases[] = {{16, "5D9D4EEFFA9151575524F115815A12E0"},
                 {24, "E75449212BEEF9F4A390BD860A640941"},
                 {32, "37FE26FF1CF66175F5DDF4C33B97A205"}};
    for (const Case& c : cases) {
        unsigned char key[32] = {}, plain[16] = {}, cipher[16];
        Twofish_key xkey;
        for (int step = 0; step < 49; ++step) {
            Twofish_prepare_key(key, c.key_len, &xkey);
            Twofish_encrypt(&xkey, plain, cipher);
            std::memmove(key + 16, key, size_t(c.key_len) - 16);
            std::memcpy(key, plain, 16);
            std::memcpy(plain, cipher, 16);
        }
        EXPECT_EQ(ToHex(cipher, 16), c.final_cipher) << c.key_len;
    }
}

TEST_F(Twofish, ShortKeysArePaddedWithZeros) {
    const std::string plain = "000102030405060708090A0B0C0D0E0F";
    struct Case {
        const char *key, *cipher;
    } cases[] = {
        {"-", "670FF829D07BAC240EC196160E814558"},
        {"0B", "61676A8B4FA95CF4E054D74B41BEDA56"},
        {"0B30557A9FC4E90E33587DA2C7EC11", "E4005214EA1394C59D6D852DC439970F"},
        {"0B30557A9FC4E90E33587DA2C7EC11365B", "2A99D39D80A90B6C42F193E68A14383C"},
        {"0B30557A9FC4E90E33587DA2C7EC11365B80A5CA", "CF210A915BF162416372C14C0890919F"},
        {"0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83", "B2FD016801A62A7B024FAC96D27F9E9A"},
        {"0B30557A9FC4E90E33587DA2C7EC11365B80A5CAEF14395E83A8CDF2173C61",
         "B7721BBBD7634175E72D7E8A3A5325C3"},
    };
    for (const Case& c : cases) {
        Bytes key = FromHex(c.key);
        EXPECT_EQ(Encrypt(key, FromHex(plain)), c.cipher) << c.key;
        Bytes padded = key;
        padded.resize(key.size() <= 16 ? 16 : key.size() <= 24 ? 24 : 32, 0);
        EXPECT_EQ(Encrypt(padded, FromHex(plain)), c.cipher) << c.key << " padded";
    }
}

// The packet cipher keys Twofish with a 20-byte SHA-1 digest: a 192-bit key ending in four zeros.
TEST_F(Twofish, TwentyByteKeyEqualsZeroPaddedTwentyFour) {
    THash_SHA sha;
    const unsigned char* digest = sha.GetHash("test ciphering", 14);
    Bytes key20(digest, digest + 20);
    Bytes key24 = key20;
    key24.resize(24, 0);
    std::mt19937 rng(3);
    for (int i = 0; i < 8; ++i) {
        Bytes block = RandomBytes(rng, 16);
        EXPECT_EQ(Encrypt(key20, block), Encrypt(key24, block));
    }
}

TEST_F(Twofish, RoundTripForEveryKeyLength) {
    std::mt19937 rng(11);
    for (int len = 0; len <= 32; ++len) {
        Bytes key = RandomBytes(rng, size_t(len));
        Twofish_key xkey;
        Twofish_prepare_key(key.data(), len, &xkey);
        for (int i = 0; i < 4; ++i) {
            Bytes plain = RandomBytes(rng, 16);
            unsigned char cipher[16], back[16];
            Twofish_encrypt(&xkey, plain.data(), cipher);
            EXPECT_NE(std::memcmp(cipher, plain.data(), 16), 0);
            Twofish_decrypt(&xkey, cipher, back);
            ASSERT_EQ(ToHex(back, 16), ToHex(plain.data(), 16)) << "key length " << len;
        }
    }
}

// The feedback mode against its textbook form (a whole block encryption per byte, the register
// shifted in memory), in one call and in pieces that carry the register over, both ways.
TEST_F(Twofish, Cfb8MatchesBlockByBlockFeedback) {
    std::mt19937 rng(7);
    for (int len : {16, 20, 24, 32}) {
        Bytes key = RandomBytes(rng, size_t(len));
        Twofish_key xkey;
        Twofish_prepare_key(key.data(), len, &xkey);
        Bytes iv = RandomBytes(rng, 16);
        Bytes plain = RandomBytes(rng, 300);

        Bytes expected(plain.size());
        unsigned char reg[16], block[16];
        std::memcpy(reg, iv.data(), 16);
        for (size_t i = 0; i < plain.size(); ++i) {
            Twofish_encrypt(&xkey, reg, block);
            expected[i] = static_cast<unsigned char>(plain[i] ^ block[0]);
            std::memmove(reg, reg + 1, 15);
            reg[15] = expected[i];
        }

        Bytes cipher(plain.size());
        std::memcpy(reg, iv.data(), 16);
        for (size_t at = 0, piece = 1; at < plain.size(); at += piece, piece = piece * 3 % 37 + 1) {
            size_t n = std::min(piece, plain.size() - at);
            Twofish_cfb8(&xkey, reg, plain.data() + at, cipher.data() + at, n, false);
        }
        EXPECT_EQ(ToHex(cipher.data(), cipher.size()), ToHex(expected.data(), expected.size()));

        std::memcpy(reg, iv.data(), 16);
        Twofish_cfb8(&xkey, reg, cipher.data(), cipher.data(), cipher.size(), true);  // in place
        EXPECT_EQ(ToHex(cipher.data(), cipher.size()), ToHex(plain.data(), plain.size()));
    }
}

TEST_F(Twofish, InitialiseRunsAgainFromSeveralThreads) {
    std::thread a(Twofish_initialise), b(Twofish_initialise);
    a.join();
    b.join();
    EXPECT_TRUE(Twofish_initialised.load());
}

using TwofishDeathTest = Twofish;

TEST_F(TwofishDeathTest, IllegalKeyLengthIsFatal) {
    unsigned char key[40] = {};
    Twofish_key xkey;
    EXPECT_EXIT(
        Twofish_prepare_key(key, 33, &xkey), ::testing::ExitedWithCode(3),
        "\nTwofish fatal error: Twofish_prepare_key: illegal key length\nProcess terminated\n");
    EXPECT_EXIT(Twofish_prepare_key(key, -1, &xkey), ::testing::ExitedWithCode(3),
                "illegal key length");
}

// Runs in a freshly started copy of the test program, where nothing has initialised Twofish.
TEST(TwofishUninitialisedDeathTest, PreparingAKeyFirstIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unsigned char key[16] = {};
    Twofish_key xkey;
    EXPECT_EXIT(Twofish_prepare_key(key, 16, &xkey), ::testing::ExitedWithCode(3),
                "Twofish implementation was not initialised\\.");
}

}  // namespace
