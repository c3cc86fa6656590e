// A second client for the agent, written from doc/protocol.md alone on the Botan library's MD5,
// SHA-1 and Twofish, with no code of the agent: bench/run sends requests through it and through
// qdxctl and checks that the replies agree byte for byte.
//
//   qdx_independent PORT PASSWORD COMMAND [PARAMETER...]
//
// Prints the reply text exactly as received (like qdxctl --raw). Exit status 0 with a reply, 2
// without one.
#include <arpa/inet.h>
#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <botan/system_rng.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Twofish in 8-bit cipher feedback under the SHA-1 digest of `keyText`, the register started at
// the encryption of sixteen 0xFF bytes.
Bytes Cipher(const std::string& keyText, const std::string& data, Botan::Cipher_Dir direction) {
    Botan::secure_vector<uint8_t> digest = Botan::HashFunction::create("SHA-1")->process(keyText);
    uint8_t key[24] = {};
    std::memcpy(key, digest.data(), 20);
    auto block = Botan::BlockCipher::create("Twofish");
    block->set_key(key, sizeof key);
    uint8_t iv[16];
    std::memset(iv, 0xFF, sizeof iv);
    block->encrypt(iv);
    auto mode = Botan::Cipher_Mode::create("Twofish/CFB(8)", direction);
    mode->set_key(key, sizeof key);
    mode->start(iv, sizeof iv);
    Botan::secure_vector<uint8_t> buffer(data.begin(), data.end());
    mode->finish(buffer);
    return Bytes(buffer.begin(), buffer.end());
}

void PutLE(Bytes& out, uint32_t value, int width) {
    for (int i = 0; i < width; i++) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutField(Bytes& out, const Bytes& field, int width) {
    PutLE(out, static_cast<uint32_t>(field.size()), width);
    out.insert(out.end(), field.begin(), field.end());
}

std::string SessionKey() {
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint8_t random[16];
    Botan::system_rng().randomize(random, sizeof random);
    std::string key;
    for (uint8_t r : random) key += alphabet[r % 36];
    return key;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: qdx_independent PORT PASSWORD COMMAND [PARAMETER...]\n", stderr);
        return 64;
    }
    const std::string password = argv[2];
    std::string request = std::string(argv[3]) + "\n";
    for (int i = 4; i < argc; i++) request += std::string(argv[i]) + "\n";
    request += "\r";
    const std::string sessionKey = SessionKey();

    Bytes body = {0x03, 0x12};
    Botan::secure_vector<uint8_t> md5 = Botan::HashFunction::create("MD5")->process(password);
    PutField(body, Bytes(md5.begin(), md5.end()), 2);
    PutField(body, Cipher(password, sessionKey, Botan::ENCRYPTION), 2);
    PutField(body, Cipher(sessionKey, request, Botan::ENCRYPTION), 4);
    Bytes packet;
    PutField(packet, body, 4);

    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(sock, packet.data(), packet.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(packet.size()))
        return 2;
    std::string reply;
    char block[65536];
    for (ssize_t n; (n = recv(sock, block, sizeof block, 0)) > 0;) reply.append(block, n);
    close(sock);
    if (reply.size() < 4) return 2;
    uint32_t length = 0;
    for (int i = 0; i < 4; i++) length |= static_cast<uint32_t>(uint8_t(reply[i])) << (8 * i);
    if (length != reply.size() - 4) return 2;
    Bytes text = Cipher(sessionKey, reply.substr(4), Botan::DECRYPTION);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
