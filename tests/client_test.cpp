// The client library: a session key is never partly random.
#include "client/client.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <iterator>

#include "client/upgrade_client.h"
#include "protocol/packet.h"

namespace {

// From here on getrandom fails in this process with ENOSYS, as on a system without it.
bool DenyGetrandom() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(Client, SessionKeysAreRandomAndDistinct) {
    String a = NewSessionKey(), b = NewSessionKey();
    EXPECT_EQ(a.Length(), 16);
    EXPECT_EQ(b.Length(), 16);
    EXPECT_FALSE(a == b);
}

// Without random bytes there is no key and no request: the call, and an upgrade, are refused
// before they connect.
TEST(Client, NoRandomBytesNoRequest) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!DenyGetrandom()) _exit(10);
        if (NewSessionKey().Length() != 0) _exit(11);
        QdxEndpoint endpoint;
        endpoint.port = 1;
        endpoint.password = "pw";
        QdxReplyText reply = QdxCall(endpoint, "GetInfo");
        if (reply.status != CallStatus::NoSessionKey) _exit(12);
        if (reply.error.find("session key") == std::string::npos) _exit(13);
        String upgradeKey("stale");
        if (QdxStartUpgrade(endpoint, 500, upgradeKey, reply) != -1) _exit(14);
        if (reply.status != CallStatus::NoSessionKey || upgradeKey.Length() != 0) _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10: no filter, 11: a key, 12: a call, 13: no reason, 14-15: an upgrade started";
}

// A reply is kept exactly as long as its length field says, decrypted in place; a length beyond
// what an agent sends, or bytes beyond the length, refuse it.
TEST(Client, ReplyBufferKeepsExactlyTheAnnouncedBytes) {
    String key("session-key");
    String packet = EncodeData(String("200\n     5\n\r"), key, 4);
    std::string bytes(packet.Data(), static_cast<size_t>(packet.Length()));
    ReplyBuffer buffer;
    for (char byte : bytes) {
        EXPECT_FALSE(buffer.Complete());
        ASSERT_TRUE(buffer.Add(&byte, 1));
    }
    EXPECT_TRUE(buffer.Complete());
    EXPECT_EQ(buffer.Announced(), bytes.size());
    std::string text;
    buffer.Open(key, text);
    EXPECT_EQ(text, "200\n     5\n\r");

    ReplyBuffer longer;
    EXPECT_FALSE(longer.Add((bytes + "x").data(), bytes.size() + 1));
    EXPECT_NE(longer.Refusal().find("more bytes came"), std::string::npos);

    const unsigned char fits[4] = {0xfc, 0xff, 0x00, 0x10};       // 0x1000fffc, within the bound
    const unsigned char tooLong[4] = {0xfd, 0xff, 0x00, 0x10};    // one more
    ReplyBuffer largest, beyond;
    EXPECT_TRUE(largest.Add(reinterpret_cast<const char*>(fits), 4));
    EXPECT_EQ(largest.Announced(), kMaxReplyPacket);
    EXPECT_FALSE(beyond.Add(reinterpret_cast<const char*>(tooLong), 4));
    EXPECT_NE(beyond.Refusal().find("announces 268500989 bytes"), std::string::npos)
        << beyond.Refusal();
}

}  // namespace
