// Keys and certificates for TLS tests, made by the openssl program into a test's folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"

inline RunResult Openssl(const std::vector<std::string>& args) {
    return RunProgram("/usr/bin/openssl", args, 30);
}

// A certificate authority, the agent's certificate for 127.0.0.1 and ::1, a client certificate
// from the same authority, one from another authority, and a pre-shared key.
class TlsKeys {
public:
    explicit TlsKeys(const TempDir& dir) : dir_(dir) {
        Authority("ca");
        Authority("other-ca");
        Signed("server", "ca", "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost");
        Signed("client", "ca", "");
        Signed("stranger", "other-ca", "");
        WriteFile(File("psk"), "00112233445566778899aabbccddeeff\n");
        WriteFile(File("wrong-psk"), "ffeeddccbbaa99887766554433221100\n");
        for (const char* secret : {"server.key", "client.key", "stranger.key", "psk", "wrong-psk"})
            chmod(File(secret).c_str(), 0600);
    }
    std::string File(const std::string& name) const { return dir_.File(name); }

private:
    void Authority(const std::string& name) {
        RunResult r = Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj",
                               "/CN=" + name, "-keyout", File(name + ".key"), "-out",
                               File(name + ".pem")});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    void Signed(const std::string& name, const std::string& ca, const std::string& altNames) {
        RunResult r = Openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                               "-nodes", "-subj", "/CN=" + name, "-keyout", File(name + ".key"),
                               "-out", File(name + ".csr")});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::string> sign = {"x509", "-req", "-in", File(name + ".csr"), "-CA",
                                         File(ca + ".pem"), "-CAkey", File(ca + ".key"),
                                         "-CAcreateserial", "-days", "2", "-out",
                                         File(name + ".pem")};
        if (!altNames.empty()) {
            WriteFile(File(name + ".ext"), altNames + "\n");
            sign.insert(sign.end(), {"-extfile", File(name + ".ext")});
        }
        r = Openssl(sign);
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    const TempDir& dir_;
};
