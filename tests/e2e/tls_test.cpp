// The TLS port: versions, client certificates and pre-shared keys refused before any request is
// read, the same answers as on the plain port, and a private key that others may read refused at
// start-up. Keys and certificates are made by the openssl program for each test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "harness.h"
#include "tls_keys.h"

namespace {

class TlsTest : public ::testing::Test {
protected:
    // An agent on a TLS port with the given TLS settings beside the port line.
    bool Start(const std::string& tlsSettings) {
        tlsPort = FreePort();
        agent = std::make_unique<Agent>(
            dir, "host=\ntlsport=" + std::to_string(tlsPort) + "\n" + tlsSettings);
        return agent->Start();
    }
    std::string CertificateSettings(bool clientCertificates) const {
        std::string text = "tlscertfile=" + keys.File("server.pem") + "\ntlskeyfile=" +
                           keys.File("server.key") + "\n";
        if (clientCertificates) text += "tlscafile=" + keys.File("ca.pem") + "\n";
        return text;
    }
    RunResult Qdxctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"-t", "5000"});
        return RunProgram(QDXCTL_BINARY, args, 20, {"QDX_PASSWORD=" + Agent::Password()});
    }
    std::vector<std::string> OverTls(std::vector<std::string> args) {
        std::vector<std::string> all = {"-p", std::to_string(tlsPort), "--tls-ca",
                                        keys.File("ca.pem")};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    // Requests the agent has read so far, valid or not.
    int RequestsRead() {
        std::string out = agent->Output();
        int count = 0;
        for (size_t at = out.find(" ZP request received"); at != std::string::npos;
             at = out.find(" ZP request received", at + 1))
            count++;
        return count;
    }

    TempDir dir;
    TlsKeys keys{dir};
    int tlsPort = 0;
    std::unique_ptr<Agent> agent;
};

// TLS 1.0 and 1.1 are refused for their version, with the protocol_version alert; 1.3 is taken.
TEST_F(TlsTest, OldVersionsRefusedWithTheProtocolVersionAlert) {
    ASSERT_TRUE(Start(CertificateSettings(false)));
    const std::string connect = "127.0.0.1:" + std::to_string(tlsPort);
    for (const char* version : {"-tls1", "-tls1_1", "-tls1_2"}) {
        RunResult r = RunProgram("/bin/sh",
                                 {"-c", "/usr/bin/openssl s_client -connect " + connect + " " +
                                            version + " -cipher DEFAULT@SECLEVEL=0 </dev/null"},
                                 20);
        EXPECT_NE(r.exitCode, 0) << version;
        EXPECT_NE((r.out + r.err).find("alert protocol version"), std::string::npos)
            << version << ": " << r.out << r.err;
    }
    RunResult ok = RunProgram("/bin/sh",
                              {"-c", "/usr/bin/openssl s_client -connect " + connect +
                                         " -tls1_3 -CAfile " + keys.File("ca.pem") +
                                         " -verify_return_error </dev/null"},
                              20);
    EXPECT_NE(ok.out.find("New, TLSv1.3, Cipher is"), std::string::npos) << ok.out << ok.err;
    EXPECT_NE(ok.out.find("Verify return code: 0 (ok)"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("Compression: NONE"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("Secure Renegotiation IS NOT supported"), std::string::npos) << ok.out;
    EXPECT_EQ(RequestsRead(), 0);
}

// The same request answers the same over TLS as on the plain port, over both families.
// GetSettings without the count of connections opened so far, which each call raises.
std::string WithoutOpenedCount(std::string reply) {
    size_t at = reply.find("OpenedConnections=");
    if (at != std::string::npos) reply.erase(at, reply.find('\n', at) - at + 1);
    return reply;
}

TEST_F(TlsTest, SameAnswersAsThePlainPort) {
    ASSERT_TRUE(Start(CertificateSettings(false) + "manageaddr=127.0.0.1, ::1\n"));
    const std::string plainPort = std::to_string(agent->port());
    for (const char* host : {"127.0.0.1", "::1"}) {
        RunResult plain = Qdxctl({"-H", host, "-p", plainPort, "--raw", "GetSettings"});
        RunResult tls = Qdxctl(OverTls({"-H", host, "--raw", "GetSettings"}));
        EXPECT_EQ(tls.exitCode, 0) << host << tls.err;
        EXPECT_EQ(WithoutOpenedCount(tls.out), WithoutOpenedCount(plain.out)) << host;
        EXPECT_EQ(tls.out.rfind("200\n", 0), 0u) << tls.out;
    }
    // The certificate must carry the name asked for: "localhost" is in it, 127.0.0.2 is not.
    EXPECT_EQ(Qdxctl(OverTls({"-H", "localhost", "TEST-Ping"})).exitCode, 1);
    RunResult wrongName = Qdxctl(OverTls({"-H", "127.0.0.2", "GetInfo"}));
    EXPECT_NE(wrongName.err.find("TLS: "), std::string::npos) << wrongName.err;
    RunResult unchecked = Qdxctl(OverTls({"-H", "127.0.0.2", "--tls-no-verify", "GetInfo"}));
    EXPECT_EQ(unchecked.exitCode, 0) << unchecked.err;
    EXPECT_NE(unchecked.err.find("warning: --tls-no-verify"), std::string::npos);
    // A plain request on the TLS port is no handshake: refused unread.
    int before = RequestsRead();
    EXPECT_NE(Qdxctl({"-p", std::to_string(tlsPort), "GetInfo"}).exitCode, 0);
    EXPECT_EQ(RequestsRead(), before);
}

// A hosts list over TLS: one context, each host's certificate checked against that host's own
// name or address, so a host the certificate does not name is refused alone. Lines without a
// port take -p, or the tlsport of -C.
TEST_F(TlsTest, HostsListCheckedHostByHost) {
    ASSERT_TRUE(Start(CertificateSettings(false)));
    const std::string port = std::to_string(tlsPort);
    WriteFile(dir.File("hosts"),
              "127.0.0.1\n[::1]:" + port + "\nlocalhost:" + port + "\n127.0.0.2:" + port + "\n");
    RunResult r = Qdxctl(OverTls({"--hosts", dir.File("hosts"), "GetInfo"}));
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    for (const std::string host : {"127.0.0.1:", "::1:", "localhost:"})
        EXPECT_NE(r.out.find(host + port + " 200"), std::string::npos) << host << r.out << r.err;
    EXPECT_NE(r.out.find("127.0.0.2:" + port + " no reply (connect_failed): TLS: "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(IP address mismatch)"), std::string::npos) << r.out;

    WriteFile(dir.File("hosts"), "127.0.0.1\n");
    RunResult fromConfig = Qdxctl({"-C", agent->config(), "--tls-ca", keys.File("ca.pem"),
                                   "--hosts", dir.File("hosts"), "GetInfo"});
    EXPECT_EQ(fromConfig.exitCode, 0) << fromConfig.out << fromConfig.err;
    EXPECT_EQ(fromConfig.out.rfind("127.0.0.1:" + port + " 200", 0), 0u) << fromConfig.out;
}

// A hosts list over TLS within a reply budget below two replies (750 kB each): one host waits
// with its reply begun, part of it already decrypted, and both replies come whole.
TEST_F(TlsTest, HostsReplyBudgetHoldsOverTls) {
    ASSERT_TRUE(Start(CertificateSettings(false)));
    const std::string folder = dir.File("many"), name(240, 'n');
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    for (int i = 0; i < 3000; i++) WriteFile(folder + "/" + name + std::to_string(i), "");
    const std::string port = std::to_string(tlsPort);
    WriteFile(dir.File("hosts"), "127.0.0.1:" + port + "\n[::1]:" + port + "\n");
    // The second reply waits for the first one's memory within its time-out: a generous one, for
    // the slow sanitizer builds.
    std::vector<std::string> args = OverTls({"-t", "60000", "--hosts", dir.File("hosts"),
                                             "--reply-memory", "1", "check", "--value", "count",
                                             "-c", "3000:3000", "GetFilesList", folder, "*", "0",
                                             "1", "0", "0", "0", "0", "0"});
    RunResult r = RunProgram(QDXCTL_BINARY, args, 120, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const std::string host : {"127.0.0.1:", "::1:"})
        EXPECT_NE(r.out.find(host + port + " QDX GetFilesList OK - count=3000 |"),
                  std::string::npos)
            << r.out;
    EXPECT_NE(r.err.find("2 hosts in "), std::string::npos) << r.err;
}

// With tlscafile, only a client certificate from that authority gets its request read.
TEST_F(TlsTest, ClientCertificatesRefusedBeforeAnyRequestIsRead) {
    ASSERT_TRUE(Start(CertificateSettings(true)));
    RunResult none = Qdxctl(OverTls({"GetInfo"}));
    RunResult stranger = Qdxctl(
        OverTls({"--tls-cert", keys.File("stranger.pem"), "--tls-key", keys.File("stranger.key"),
                 "GetInfo"}));
    EXPECT_NE(none.exitCode, 0);
    EXPECT_NE(stranger.exitCode, 0);
    EXPECT_EQ(RequestsRead(), 0) << agent->Output();
    RunResult known = Qdxctl(OverTls(
        {"--tls-cert", keys.File("client.pem"), "--tls-key", keys.File("client.key"), "GetInfo"}));
    EXPECT_EQ(known.exitCode, 0) << known.err;
    EXPECT_EQ(RequestsRead(), 1);
}

TEST_F(TlsTest, PreSharedKeyRefusedWhenWrong) {
    ASSERT_TRUE(Start("tlspskidentity=monitor\ntlspskfile=" + keys.File("psk") + "\n"));
    const std::string port = std::to_string(tlsPort);
    RunResult wrong = Qdxctl({"-p", port, "--tls-psk-identity", "monitor", "--tls-psk-file",
                              keys.File("wrong-psk"), "GetInfo"});
    RunResult stranger = Qdxctl({"-p", port, "--tls-psk-identity", "stranger", "--tls-psk-file",
                                 keys.File("psk"), "GetInfo"});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_NE(stranger.exitCode, 0);
    EXPECT_EQ(RequestsRead(), 0) << agent->Output();
    RunResult right = Qdxctl({"-p", port, "--tls-psk-identity", "monitor", "--tls-psk-file",
                              keys.File("psk"), "GetInfo"});
    EXPECT_EQ(right.exitCode, 0) << right.err;
    EXPECT_EQ(right.out.rfind("200\n", 0), 0u);
    // -C takes the TLS port and the pre-shared key from the agent's own file.
    RunResult fromConfig = Qdxctl({"-C", agent->config(), "--tls", "GetInfo"});
    EXPECT_EQ(fromConfig.exitCode, 0) << fromConfig.err;
}

// TLS 1.2 on request only, and then with forward-secret AEAD suites alone.
TEST_F(TlsTest, Tls12OnlyWhenAskedAndOnlyForwardSecret) {
    ASSERT_TRUE(Start(CertificateSettings(false) + "tlsallow12=1\n"));
    const std::string connect = "/usr/bin/openssl s_client -connect 127.0.0.1:" +
                                std::to_string(tlsPort) + " -tls1_2 ";
    RunResult aead = RunProgram("/bin/sh", {"-c", connect + "</dev/null"}, 20);
    EXPECT_NE(aead.out.find("New, TLSv1.2, Cipher is ECDHE-"), std::string::npos) << aead.out;
    RunResult plainRsa =
        RunProgram("/bin/sh", {"-c", connect + "-cipher AES128-SHA:AES128-GCM-SHA256 </dev/null"}, 20);
    EXPECT_NE(plainRsa.exitCode, 0);
    EXPECT_NE((plainRsa.out + plainRsa.err).find("handshake failure"), std::string::npos)
        << plainRsa.out << plainRsa.err;
}

// Connections that hold TLS handshakes open, more than may run at once, leave the plain port
// answering at once; once they are gone the TLS port serves again.
TEST_F(TlsTest, StalledHandshakesLeaveThePlainPortServed) {
    ASSERT_TRUE(Start(CertificateSettings(false) + "timeout=3000\n"));
    std::vector<int> stalled;
    for (int i = 0; i < 24; i++) {
        QdxEndpoint endpoint = agent->Endpoint();
        endpoint.port = tlsPort;
        std::string error;
        int sock = QdxConnect(endpoint, error);
        ASSERT_GE(sock, 0) << error;
        stalled.push_back(sock);
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) EXPECT_EQ(agent->Call("GetInfo").Code(), "200");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    for (int sock : stalled) close(sock);
    EXPECT_TRUE(WaitUntil(
        [&] { return Qdxctl(OverTls({"TEST-Ping"})).exitCode == 1; }, 10));
}

TEST_F(TlsTest, KeyFileReadableByOthersRefusedAtStartUp) {
    chmod(keys.File("server.key").c_str(), 0644);
    Agent refused(dir, "tlsport=" + std::to_string(FreePort()) + "\n" + CertificateSettings(false));
    RunResult r = RunAgentToExit({"-i", refused.config()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("TLS tlskeyfile '" + keys.File("server.key") +
                         "' is readable by others (mode 0644)!"),
              std::string::npos)
        << r.out;
}

}  // namespace
