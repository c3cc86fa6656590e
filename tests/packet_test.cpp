#include "protocol/packet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config_fixture.h"
#include "foundation/sha1.h"
#include "foundation/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}
String Bytes(const std::string& s) {
    return String(s.data(), static_cast<int>(s.size()));
}

std::string FromHex(const char* hex) {
    if (std::strcmp(hex, "-") == 0) return {};
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

std::string Hex(const String& s) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 1; i <= s.Length(); i++) {
        auto b = static_cast<unsigned char>(s[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

class PacketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Twofish_initialise(); }
};

// Known answers of the packet cipher, computed with an independent Twofish implementation and the
// standard SHA-1. Key text and data are hexadecimal ("-" for empty).
struct CipherCase {
    const char* key;
    const char* plain;
    const char* cipher;
};

const CipherCase kCipherCases[] = {
    {"7465737420636970686572696E67", "313233343536373839303132333435",
     "9092B6D83F72CF14CE04C53A505DDC"},
    {"-", "78", "51"},
    {"-", "68656C6C6F", "417EA44FBC"},
    {"736563726574", "476574496E666F0A0D", "5EEE1DA2D6A596EDF5"},
    {"736563726574", "30313233343536373839616263646566", "29E6E0EFD43833EC3CE4B991A77E8EE2"},
    {"30313233343536373839616263646566", "3230300A4F6B0A0D", "45E3795DF2C6DA93"},
    // 256 bytes: the shift register wraps around many times.
    {"6B",
     "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F202122232425262728292A2B2C2D"
     "2E2F303132333435363738393A3B3C3D3E3F404142434445464748494A4B4C4D4E4F505152535455565758595A5B"
     "5C5D5E5F606162636465666768696A6B6C6D6E6F707172737475767778797A7B7C7D7E7F80818283848586878889"
     "8A8B8C8D8E8F909192939495969798999A9B9C9D9E9FA0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7"
     "B8B9BABBBCBDBEBFC0C1C2C3C4C5C6C7C8C9CACBCCCDCECFD0D1D2D3D4D5D6D7D8D9DADBDCDDDEDFE0E1E2E3E4E5"
     "E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF",
     "67511195B7DF2A9502ED5ED05B471B0255BB70764DF6039F034E1F72538C5BDE62AC588E527F2AA01B412D374EE2"
     "9C9ACA93FB14ED60FF94E0339ABA849A677F0F9A7D6996703B7228A91D79EA6D742562A646CB0B62FA9D1BD67519"
     "1F1BBF70528C4536061BBDD3A3F3578F8BEA36FAA9D30218BBCA119B5962DCF2C82B698ABE19C2786F0F9D922901"
     "3E5B94C11C2F2B2A895AF06315EF2DA8368A7BDED03BBE0F96C85D02044F94A74A719CB180C2C3042845FAE08C23"
     "78B586C925BA13B5F6D0EA8E2AB9B292C92684DDF287EAF2E4C5479F8FC52F21EC8913D03910B01CFB4024F9ABFC"
     "093337BD66CD0941006966FBBDBA1FDB3171AA3A74D9FC9AF9D8"},
    {"7061737320776F7264207769746820626C616E6B73",
     "544553542D46696C654578697374730A2F6574632F7061737377640A0D",
     "AF1E0C6CE05B8CA80D8854A0302E7D07BAB7D9DC6D9551F5F1190EB441"},
};

TEST_F(PacketTest, CipherKnownAnswersBothWays) {
    for (const CipherCase& c : kCipherCases) {
        String key = Bytes(FromHex(c.key));
        String plain = Bytes(FromHex(c.plain));
        EXPECT_EQ(Hex(EncodeData(plain, key, 0)), c.cipher) << c.plain;
        EXPECT_EQ(Hex(DecodeData(Bytes(FromHex(c.cipher)), key)), c.plain) << c.cipher;

        // The raw form, in place.
        std::string buffer = FromHex(c.plain);
        auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
        CipherBytes(key.Data(), key.Length(), bytes, bytes, buffer.size(),
                    CipherDirection::Encrypt);
        EXPECT_EQ(buffer, FromHex(c.cipher));
        CipherBytes(key.Data(), key.Length(), bytes, bytes, buffer.size(),
                    CipherDirection::Decrypt);
        EXPECT_EQ(buffer, FromHex(c.plain));
    }
}

TEST_F(PacketTest, RegisterStartsAsEncryptedOnesBlock) {
    // Under the key text "secret": E(FF..FF) = 27B8544117A291516AD26E5AEB6BE335, and the first
    // keystream byte is the first byte of E(E(FF..FF)), 0x19.
    THash_SHA sha;
    Twofish_key key;
    Twofish_prepare_key(sha.GetHash("secret", 6), 20, &key);
    unsigned char block[16];
    std::memset(block, 0xFF, sizeof block);
    Twofish_encrypt(&key, block, block);
    EXPECT_EQ(Hex(String(reinterpret_cast<char*>(block), 16)), "27B8544117A291516AD26E5AEB6BE335");
    Twofish_encrypt(&key, block, block);
    EXPECT_EQ(block[0], 0x19);

    for (int b : {0x00, 0x19, 0xA5, 0xFF}) {
        char plain = static_cast<char>(b);
        String cipher = EncodeData(String(&plain, 1), "secret", 0);
        ASSERT_EQ(cipher.Length(), 1);
        EXPECT_EQ(static_cast<unsigned char>(cipher[1]), b ^ 0x19);
    }
}

TEST_F(PacketTest, RoundTripsAnyLengthAndKeyAndNeverPrefixesEmptyData) {
    std::string data;
    for (int i = 0; i < 1000; i++) data += static_cast<char>(i * 7 + (i >> 3));
    for (const char* key : {"", "k", "a much longer key text than any digest block"}) {
        for (size_t n : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{33}, size_t{1000}}) {
            String plain = Bytes(data.substr(0, n));
            String cipher = EncodeData(plain, key, 0);
            EXPECT_EQ(cipher.Length(), plain.Length());
            EXPECT_NE(cipher, plain);
            EXPECT_EQ(DecodeData(cipher, key), plain) << key << " " << n;
        }
        for (int digits : {0, 1, 2, 4}) EXPECT_EQ(EncodeData(String(), key, digits).Length(), 0);
        EXPECT_EQ(DecodeData(String(), key).Length(), 0);
    }
    // The prefix is the ciphertext length; the ciphertext behind it is unchanged.
    String plain("GetInfo\n\r");
    String prefixed = EncodeData(plain, "secret", 4);
    EXPECT_EQ(Hex(prefixed.Copy(1, 4)), "09000000");
    EXPECT_EQ(prefixed.Copy(5, 9), EncodeData(plain, "secret", 0));
    // Every field starts from the same register: equal data under equal keys encrypts equally.
    EXPECT_EQ(EncodeData(plain, "secret", 0), EncodeData(plain, "secret", 0));
}

TEST_F(PacketTest, LengthFieldsAreLittleEndianAndCut) {
    String data = Bytes(std::string(0x10203, 'x'));
    EXPECT_EQ(Hex(EncodeLength(data, 1)), "03");
    EXPECT_EQ(Hex(EncodeLength(data, 2)), "0302");
    EXPECT_EQ(Hex(EncodeLength(data, 3)), "030201");
    EXPECT_EQ(Hex(EncodeLength(data, 4)), "03020100");
    EXPECT_EQ(EncodeLength(data, 0).Length(), 0);

    const unsigned char field[4] = {0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(DecodeLength(field, 1), 0xFEu);
    EXPECT_EQ(DecodeLength(field, 2), 0xFFFEu);
    EXPECT_EQ(DecodeLength(field, 3), 0u);
    EXPECT_EQ(DecodeLength(field, 4), 0xFFFFFFFEu);
    EXPECT_EQ(DecodeLength(field, 0), 0u);
}

TEST_F(PacketTest, LengthWidthAboveFourIsAProgramError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const unsigned char field[8] = {};
    EXPECT_DEATH(EncodeLength(String("x"), 5), "digits<=sizeof\\(len\\)");
    EXPECT_DEATH(DecodeLength(field, 5), "digits<=sizeof\\(int\\)");
}

TEST_F(PacketTest, PasswordDigest) {
    EXPECT_EQ(Hex(EncodePswd("secret")), "5EBE2294ECD0E0F08EAB7690D2A6EE69");
    EXPECT_EQ(Hex(EncodePswd("abc")), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(EncodePswd("").Length(), 0);
}

// ---- whole packets ----------------------------------------------------------------------------

const char kSessionKey[] = "0123456789ABCDEF0011223344556677";

// Request packets: password text ("-" for empty), request text (hex), packet (hex).
struct RequestVector {
    const char* password;
    const char* request;
    const char* packet;
};

const RequestVector kRequestVectors[] = {
    {"secret", "476574496E666F0A0D",
     "33000000031210005EBE2294ECD0E0F08EAB7690D2A6EE69100018840AFFFB9CD03A4CD47DEBFA6619C409000000"
     "66678ED5C5A6B3DEF3"},
    {"secret", "544553542D46696C654578697374730A2F6574632F686F7374730A0D",
     "46000000031210005EBE2294ECD0E0F08EAB7690D2A6EE69100018840AFFFB9CD03A4CD47DEBFA6619C41C000000"
     "7500370715E4C8DB4A18B21E721AE7C52F2ABF5367D47089DD51ADA5"},
    {"-", "476574496E666F0A0D",
     "2300000003120000100028D8BA8F7A84E5DBFD8D6914701358E40900000066678ED5C5A6B3DEF3"},
};

// The request packet as the server builds it.
String BuildRequest(const String& password, const String& sessionKey, const String& request) {
    String pswd = EncodePswd(password);
    String body("\x03\x12");
    body += EncodeLength(pswd, 2);
    body += pswd;
    body += sessionKey.Length() ? EncodeData(sessionKey, password, 2) : String("\0\0", 2);
    body += request.Length() ? EncodeData(request, sessionKey, 4) : String("\0\0\0\0", 4);
    return EncodeLength(body, 4) + body;
}

TEST_F(PacketTest, RequestPacketsBuildAndParseByteForByte) {
    String sessionKey = Bytes(FromHex(kSessionKey));
    for (const RequestVector& v : kRequestVectors) {
        String password = std::strcmp(v.password, "-") == 0 ? String() : String(v.password);
        String request = Bytes(FromHex(v.request));
        EXPECT_EQ(Hex(BuildRequest(password, sessionKey, request)), v.packet);

        ZPRequest parsed;
        parsed.Append(FromHex(v.packet).data(), static_cast<int>(FromHex(v.packet).size()));
        ASSERT_TRUE(parsed.WholePacket());
        ASSERT_TRUE(parsed.ParseInitRequest(password, in_addr{htonl(INADDR_LOOPBACK)}));
        EXPECT_EQ(Hex(parsed.Text()), v.request);
        EXPECT_EQ(Hex(parsed.GetSessionKey()), kSessionKey);
    }
}

// The password's keys are prepared once and kept for the next request: a changed password must
// replace them at once, and a reply closed under the session key the request prepared must be the
// reply closed under a key prepared afresh.
TEST_F(PacketTest, PreparedKeysFollowThePasswordAndMatchFreshOnes) {
    const std::string underSecret = FromHex(kRequestVectors[0].packet);
    for (const char* configured : {"secret", "other", "secret", "", "secret"}) {
        SCOPED_TRACE(configured);
        ZPRequest request;
        request.Append(underSecret.data(), static_cast<int>(underSecret.size()));
        bool opened = request.ParseInitRequest(configured, in_addr{});
        EXPECT_EQ(opened, std::strcmp(configured, "secret") == 0);
        EXPECT_EQ(request.SessionCipher() != nullptr, opened);
        if (!opened) continue;
        QDXReply fresh, prepared;
        fresh.InitPacket(nullptr, request.GetSessionKey());
        prepared.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
        for (QDXReply* reply : {&fresh, &prepared}) {
            reply->SetResult("200") += "Ok";
            reply->FinalizePacket();
        }
        EXPECT_EQ(Hex(prepared.Text()), "0800000013BF32FEFBA72B51");
        EXPECT_EQ(Hex(fresh.Text()), Hex(prepared.Text()));
    }
}

TEST_F(PacketTest, PacketArrivingInPiecesIsWholeOnlyAtItsLastByte) {
    std::string packet = FromHex(kRequestVectors[0].packet);
    ZPRequest request;
    for (size_t i = 0; i < packet.size(); i++) {
        EXPECT_FALSE(request.WholePacket()) << i;
        request.Append(&packet[i], 1);
    }
    EXPECT_TRUE(request.WholePacket());
    EXPECT_TRUE(request.ParseInitRequest("secret", in_addr{}));
}

// Reply packets: reply text (hex), packet (hex), all under kSessionKey.
TEST_F(PacketTest, ReplyPacketsByteForByte) {
    String key = Bytes(FromHex(kSessionKey));

    QDXReply ok;
    ok.InitPacket(nullptr, key);
    ok.SetResult("200") += "Ok";
    ok.FinalizePacket();
    EXPECT_EQ(Hex(ok.Text()), "0800000013BF32FEFBA72B51");

    QDXReply empty;
    empty.InitPacket(nullptr, key);
    empty.FinalizePacket();
    EXPECT_EQ(Hex(empty.Text()), "010000002C");

    QDXReply unknown;
    unknown.InitPacket(nullptr, key);
    unknown.SetResult("500") += "Unknown command \"quit\"";
    unknown.FinalizePacket();
    EXPECT_EQ(Hex(unknown.Text()),
              "1C0000001496622FE5AE8D0C885F1CE59F8ECDDD50E685D2D1F34C2F5160EF7E");
    EXPECT_EQ(Hex(DecodeData(unknown.Text().Copy(5, 28), key)),
              "3530300A556E6B6E6F776E20636F6D6D616E64202271756974220A0D");
}

// ---- malformed packets ------------------------------------------------------------------------

std::string Le(uint32_t value, int width) {
    std::string out;
    for (int i = 0; i < width; i++) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

// A packet from raw fields; L is computed unless given.
struct Fields {
    std::string auth = "\x03\x12";
    std::string pswd;
    std::string key;
    std::string request;
    std::string trailing;  // inside L, after the request field
    int64_t pswdLength = -1, keyLength = -1, requestLength = -1, declared = -1;
};

std::string Packet(const Fields& f) {
    std::string body = f.auth;
    body += Le(static_cast<uint32_t>(f.pswdLength >= 0 ? f.pswdLength : f.pswd.size()), 2) + f.pswd;
    body += Le(static_cast<uint32_t>(f.keyLength >= 0 ? f.keyLength : f.key.size()), 2) + f.key;
    body += Le(static_cast<uint32_t>(f.requestLength >= 0 ? f.requestLength : f.request.size()), 4);
    body += f.request + f.trailing;
    return Le(static_cast<uint32_t>(f.declared >= 0 ? f.declared : body.size()), 4) + body;
}

TEST_F(PacketTest, MalformedPacketsAreRefusedWithoutSessionKey) {
    const std::string digest = Str(EncodePswd("secret"));
    const std::string key = Str(EncodeData("k", "secret", 0));
    const std::string request = Str(EncodeData("GetInfo\n\r", "k", 0));
    // The valid packet with one change.
    auto with = [&](auto change) {
        Fields f;
        f.pswd = digest;
        f.key = key;
        f.request = request;
        change(f);
        return Packet(f);
    };
    std::string flipped = digest;
    flipped[7] ^= 0x10;
    const std::string valid = with([](Fields&) {});

    struct Case {
        const char* name;
        std::string packet;
        const char* password;
        bool whole;
        bool parses;
    };
    std::vector<Case> cases;
    cases.push_back({"valid", valid, "secret", true, true});
    cases.push_back({"13 bytes", Packet(Fields{}).substr(0, 13), "", false, false});
    cases.push_back({"14 bytes, empty password configured", Packet(Fields{}), "", true, true});
    cases.push_back({"14 bytes, password configured", Packet(Fields{}), "secret", true, false});
    cases.push_back({"digest sent, no password configured", valid, "", true, false});
    cases.push_back({"wrong password", valid, "Secret", true, false});
    cases.push_back({"start of a second packet behind", valid + std::string("\x33\x00", 2),
                     "secret", true, false});
    cases.push_back({"bytes after the request inside L",
                     with([&](Fields& f) { f.trailing = "xyz"; }), "secret", true, true});
    cases.push_back(
        {"one byte missing", valid.substr(0, valid.size() - 1), "secret", false, false});
    cases.push_back(
        {"L + 4 = 2^31", with([&](Fields& f) { f.declared = 0x7FFFFFFC; }), "secret", true, false});
    cases.push_back(
        {"L = 2^32 - 1", with([&](Fields& f) { f.declared = 0xFFFFFFFF; }), "secret", true, false});
    cases.push_back(
        {"wrong auth", with([&](Fields& f) { f.auth = "\x03\x13"; }), "secret", true, false});
    cases.push_back({"auth bytes swapped", with([&](Fields& f) { f.auth = "\x12\x03"; }), "secret",
                     true, false});
    cases.push_back({"one bit flipped in the digest", with([&](Fields& f) { f.pswd = flipped; }),
                     "secret", true, false});
    cases.push_back({"digest cut to 15 bytes",
                     with([&](Fields& f) { f.pswd = digest.substr(0, 15); }), "secret", true,
                     false});
    cases.push_back({"digest with one byte more", with([&](Fields& f) { f.pswd = digest + "x"; }),
                     "secret", true, false});
    cases.push_back({"P beyond the buffer", with([&](Fields& f) { f.pswdLength = 0xFFFF; }),
                     "secret", true, false});
    cases.push_back({"K beyond the buffer", with([&](Fields& f) {
                         f.keyLength = static_cast<int64_t>(key.size() + request.size() + 5);
                     }),
                     "secret", true, false});
    cases.push_back({"R one beyond the buffer", with([&](Fields& f) {
                         f.requestLength = static_cast<int64_t>(request.size() + 1);
                     }),
                     "secret", true, false});
    cases.push_back({"R near 2^32 (wraps in 32 bits)",
                     with([&](Fields& f) { f.requestLength = 0xFFFFFFFF; }), "secret", true,
                     false});
    cases.push_back({"R making the 32-bit sum small", with([&](Fields& f) {
                         f.requestLength = static_cast<int64_t>((uint64_t{1} << 32) -
                                                                (14 + digest.size() + key.size()));
                     }),
                     "secret", true, false});

    for (const Case& c : cases) {
        ZPRequest r;
        r.Append(c.packet.data(), static_cast<int>(c.packet.size()));
        EXPECT_EQ(r.WholePacket(), c.whole) << c.name;
        EXPECT_EQ(r.ParseInitRequest(c.password, in_addr{}), c.parses) << c.name;
        if (c.parses) continue;
        EXPECT_EQ(r.GetSessionKey().Length(), 0) << c.name;
        EXPECT_EQ(Str(r.Text()), c.packet) << c.name << ": the raw bytes stay";
    }
}

TEST_F(PacketTest, DetailMessagesReportTheFieldSizesUnderVerboseDetail) {
    configtest::SettingsGuard restore;
    TQDXSettings settings = *CurrentSettings();
    settings.interactive = 1;
    settings.verbose = 0;
    settings.verbosedetail = 1;
    PublishSettings(settings);

    std::string packet = FromHex(kRequestVectors[0].packet);
    packet[10] ^= 0x01;  // inside the digest
    ZPRequest r;
    r.Append(packet.data(), static_cast<int>(packet.size()));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(r.ParseInitRequest("secret", in_addr{}));
    std::string console = ::testing::internal::GetCapturedStdout();
    size_t at = 0;
    for (const char* line :
         {"<-- TCP packet size: 55\n", "<-- QDX packet size: 51\n", "<-- Pswd size: 16\n",
          "<-- Key size: 16\n", "<-- Req size: 9\n", "<-- Wrong password or MD5 error\n"}) {
        at = console.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in order, in:\n" << console;
    }

    settings.verbosedetail = 0;
    PublishSettings(settings);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(r.ParseInitRequest("secret", in_addr{}));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(PacketTest, FailedParseClearsAnEarlierSessionKey) {
    std::string packet = FromHex(kRequestVectors[0].packet);
    ZPRequest r;
    r.Append(packet.data(), static_cast<int>(packet.size()));
    ASSERT_TRUE(r.ParseInitRequest("secret", in_addr{}));
    ASSERT_GT(r.GetSessionKey().Length(), 0);
    r = Bytes(packet);
    EXPECT_FALSE(r.ParseInitRequest("other", in_addr{}));
    EXPECT_EQ(r.GetSessionKey().Length(), 0);
}

TEST_F(PacketTest, EmptyFieldsParseToEmptyTexts) {
    ZPRequest r;
    std::string packet = Packet(Fields{});
    r.Append(packet.data(), static_cast<int>(packet.size()));
    ASSERT_TRUE(r.ParseInitRequest("", in_addr{}));
    EXPECT_EQ(r.Text().Length(), 0);
    EXPECT_EQ(r.GetSessionKey().Length(), 0);
}

}  // namespace
