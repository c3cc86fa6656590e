// The Prometheus exporter's parts that need no server: the target allow-list, the modules file's
// checks, metric names and expositions, and the text-log places with their bound and state files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "config_fixture.h"
#include "exporter_config.h"
#include "exporter_metrics.h"
#include "exporter_targets.h"
#include "exporter_textlog.h"

namespace {

TEST(ExporterTargets, OnlyListedTargetsAreAdmitted) {
    TargetList list;
    std::string error;
    for (const char* entry : {"127.0.0.1", "10.1.0.0/16", "192.0.2.250-192.0.3.5",
                              "Agent1.Example.org", "agent-2.example.org", "198.51.100.7:1055", "2001:db8::/32",
                              "[2001:db8:1::1]:2000"})
        ASSERT_TRUE(list.Add(entry, error)) << entry << ": " << error;
    struct Case {
        const char* target;
        bool admitted;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"127.0.0.1:1055", true},
             {"127.0.0.2:1055", false},
             {"10.1.255.255:1", true},
             {"10.2.0.0:1", false},
             {"192.0.2.251:9", true},
             {"192.0.3.5:9", true},
             {"192.0.3.6:9", false},
             {"agent1.example.ORG:1055", true},
             {"agent2.example.org:1055", false},
             {"agent-2.example.org:1", true},
             {"198.51.100.7:1055", true},
             {"198.51.100.7:22", false},
             {"[2001:db8:ffff::9]:1055", true},
             {"[2001:db9::1]:1055", false},
             {"localhost:1055", false},  // a name is admitted only when listed as one
         }) {
        ProbeTarget target;
        ASSERT_TRUE(ParseProbeTarget(c.target, target, error)) << c.target << ": " << error;
        EXPECT_EQ(list.Admits(target), c.admitted) << c.target;
    }
    for (const char* wrong : {"", "10.0.0.0/33", "10.0.0.9-10.0.0.1", "1.2.3.4:0", "a b",
                              "1.2.3.4:99999", "[::1", "300.1.1.1", "10.0.0.1-2001:db8::1"}) {
        TargetList other;
        EXPECT_FALSE(other.Add(wrong, error)) << wrong;
    }
    for (const char* wrong : {"", ":1055", "host:http", "a/b:1", "x:70000"}) {
        ProbeTarget target;
        EXPECT_FALSE(ParseProbeTarget(wrong, target, error)) << wrong;
    }
    TargetList small;
    ASSERT_TRUE(small.Add("192.0.2.0/30", error));
    ASSERT_TRUE(small.Add("host", error));
    ASSERT_TRUE(small.Add("192.0.2.250-192.0.3.5", error));
    EXPECT_EQ(small.Count(1000), 4u + 1 + 12);
    EXPECT_EQ(list.Count(5000), 5000u);
}

class ModulesFile : public ::testing::Test {
protected:
    void SetUp() override {
        configtest::WriteFile(dir_ / "password", "# the agents' password\nsecret\n");
    }
    bool Parse(const std::string& modules, std::string& error) {
        std::string text = "password_file: " + (dir_ / "password") +
                           "\ntargets: [127.0.0.1]\nmodules:\n" + modules;
        return ParseExporterConfig(text, "modules.yml", config_, error);
    }
    configtest::TempDir dir_;
    ExporterConfig config_;
};

TEST_F(ModulesFile, ModulesAreCheckedWhenRead) {
    std::string error;
    ASSERT_TRUE(Parse("  disk:\n    command: TEST-UNC\n    params: {path: /var}\n"
                      "    values: [free_bytes]\n"
                      "  plugin:\n    command: TEST-Plugin\n    params:\n      name: check_load\n"
                      "    targets: [10.0.0.0/8]\n    port: 1055\n",
                      error))
        << error;
    EXPECT_EQ(config_.password, "secret");
    const ExporterModule& disk = config_.modules.at("disk");
    EXPECT_EQ(disk.lines, std::vector<std::string>{"/var"});
    EXPECT_EQ(config_.modules.at("plugin").port, 1055);

    struct Case {
        std::string modules;
        std::string error;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"  m:\n    command: ACT-ExternalCmd\n",
              "module m: ACT-ExternalCmd is not a read-only request"},
             {"  m:\n    command: SetSettings\n", "module m: SetSettings is not a read-only"},
             {"  m:\n    command: GetSettings\n", "module m: GetSettings is not a read-only"},
             {"  m:\n    command: UpgradeCode\n", "module m: UpgradeCode is not a read-only"},
             {"  m:\n    command: TEST-Nothing\n", "module m: unknown command 'TEST-Nothing'"},
             {"  m:\n    command: TEST-UNC\n    params: {nopath: /}\n", "module m: params: "},
             {"  m:\n    command: TEST-UNC\n    values: [colour]\n",
              "module m: values: TEST-UNC returns no number named 'colour'"},
             {"  m:\n    command: TEST-UNC\n    colour: red\n", "module m: unknown key 'colour'"},
             {"  m:\n    command: TEST-UNC\n    password_file: /nonexistent/p\n",
              "module m: password_file /nonexistent/p"},
             {"  m:\n    command: TEST-UNC\n    password_file: [a, b]\n",
              "module m: password_file: give the path of a file"},
             {"  m: [1, 2\n", "modules.yml: "},
             {"  m:\n    command: TEST-UNC\n    tls_port: 1056\n",
              "module m: tls_port needs tls: true"},
             {"  m:\n    command: TEST-UNC\n    tls: false\n    tls_ca_file: /etc/ca.pem\n",
              "module m: tls_ca_file needs tls: true"},
             {"  m:\n    command: TEST-UNC\n    tls: maybe\n", "module m: tls: give true or false"},
             {"  m:\n    command: TEST-UNC\n    tls: true\n    tls_verify: false\n",
              "module m: unknown key 'tls_verify'"},
             {"  m:\n    command: TEST-UNC\n    tls: true\n    tls_port: 0\n",
              "module m: tls_port: the port must be 1 to 65535"},
             {"  m:\n    command: TEST-UNC\n    tls: true\n    tls_cert_file: /c.pem\n",
              "module m: tls_cert_file and tls_key_file go together"},
             {"  m:\n    command: TEST-UNC\n    tls: true\n    tls_psk_identity: monitor\n",
              "module m: tls_psk_identity and tls_psk_file go together"},
             {"  m:\n    command: TEST-UNC\n    tls: true\n    tls_ca_file: /nonexistent/ca\n",
              "module m: TLS: cannot read certificate authority '/nonexistent/ca'"},
             {"  m:\n    command: TEST-UNC\n    tls: true\n    tls_insecure_skip_verify: 2\n",
              "module m: tls_insecure_skip_verify: give true or false"},
         }) {
        EXPECT_FALSE(Parse(c.modules, error)) << c.modules;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
    EXPECT_FALSE(ParseExporterConfig("modules: {}\n", "f", config_, error));
    EXPECT_FALSE(ParseExporterConfig("password_file: \n", "f", config_, error));
    EXPECT_EQ(error, "password_file: give the path of a file");
    // A TLS module has its context from the start; its tls_port serves targets without a port.
    configtest::WriteFile(dir_ / "psk", "00112233445566778899aabbccddeeff\n");
    ASSERT_TRUE(
        Parse("  plain:\n    command: GetInfo\n    port: 1055\n"
              "  tls:\n    command: GetInfo\n    port: 1055\n    tls: true\n"
              "    tls_port: 1056\n    tls_psk_identity: monitor\n"
              "    tls_psk_file: " +
                  (dir_ / "psk") +
                  "\n"
                  "  unchecked:\n    command: GetInfo\n    tls: true\n"
                  "    tls_insecure_skip_verify: true\n",
              error))
        << error;
    EXPECT_EQ(config_.modules.at("plain").tls, nullptr);
    EXPECT_EQ(config_.modules.at("plain").port, 1055);
    EXPECT_NE(config_.modules.at("tls").tls, nullptr);
    EXPECT_EQ(config_.modules.at("tls").port, 1056);
    EXPECT_FALSE(config_.modules.at("tls").tlsUnchecked);
    EXPECT_TRUE(config_.modules.at("unchecked").tlsUnchecked);
    EXPECT_FALSE(ParseExporterConfig("- a\n- b\n", "f", config_, error));
    EXPECT_FALSE(ParseExporterConfig("modules:\n  m:\n    command: TEST-UNC\n", "f", config_,
                                     error));  // neither password nor targets
    EXPECT_TRUE(ReadOnlyCommand("GetInfo"));
    EXPECT_FALSE(ReadOnlyCommand("GetFilesList"));
    EXPECT_FALSE(ReadOnlyCommand("QUIT"));
}

TEST(ExporterMetrics, NamesInBaseUnitsAndBothExpositions) {
    const CommandSpec* tcp = FindCommandSpec("TEST-TCP");
    const CommandSpec* unc = FindCommandSpec("TEST-UNC");
    ASSERT_NE(tcp, nullptr);
    MetricName elapsed = MetricFor(*tcp, *FindValue(*tcp, "elapsed_ms"));
    EXPECT_EQ(elapsed.name, "qdx_tcp_elapsed_seconds");
    EXPECT_DOUBLE_EQ(elapsed.scale, 0.001);
    EXPECT_EQ(MetricFor(*unc, *FindValue(*unc, "free_bytes")).name, "qdx_unc_free_bytes");
    EXPECT_EQ(MetricPrefix(*FindCommandSpec("GetInfo")), "qdx_info");
    EXPECT_EQ(MetricValue(12.5), "12.5");
    EXPECT_EQ(MetricValue(0.1), "0.1");
    EXPECT_EQ(MetricValue(1e21), "1e+21");
    EXPECT_EQ(MetricValue(243617730560), "243617730560");
    EXPECT_EQ(MetricValue(-0.001), "-0.001");

    EXPECT_EQ(ExpositionFor("application/openmetrics-text;version=1.0.0,text/plain;q=0.5"),
              Exposition::OpenMetrics);
    EXPECT_EQ(ExpositionFor("text/plain"), Exposition::Text);
    for (Exposition e : {Exposition::Text, Exposition::OpenMetrics}) {
        MetricWriter out(e);
        out.Family("qdx_x_lines", "counter", "a \\ b\nc");
        out.Sample({{"a", "q\"\\\n"}}, 3);
        out.Family("qdx_y", "gauge", "y");
        out.Sample({}, 1);
        std::string text = out.Finish();
        if (e == Exposition::Text)
            EXPECT_EQ(text, "# HELP qdx_x_lines_total a \\\\ b\\nc\n# TYPE qdx_x_lines_total "
                            "counter\nqdx_x_lines_total{a=\"q\\\"\\\\\\n\"} 3\n# HELP qdx_y y\n"
                            "# TYPE qdx_y gauge\nqdx_y 1\n");
        else
            EXPECT_EQ(text, "# TYPE qdx_x_lines counter\n# HELP qdx_x_lines a \\\\ b\\nc\n"
                            "qdx_x_lines_total{a=\"q\\\"\\\\\\n\"} 3\n# TYPE qdx_y gauge\n"
                            "# HELP qdx_y y\nqdx_y 1\n# EOF\n");
    }
}

TEST(ExporterTextLog, PlacesAreBoundedAndSurviveARestart) {
    configtest::TempDir dir;
    {
        TextLogStore store(dir.path());
        TextLogPlace place;
        ASSERT_TRUE(store.Take("log", "a:1", 2, place));
        EXPECT_FALSE(place.known);
        TextLogPlace busy;
        EXPECT_FALSE(store.Take("log", "a:1", 2, busy)) << "one probe at a time per target";
        place = TextLogPlace{"100", "100", "5", 7, true};
        store.Give("log", "a:1", place);
        for (const char* target : {"b:1", "c:1"}) {
            ASSERT_TRUE(store.Take("log", target, 2, place));
            place.known = true;
            store.Give("log", target, place);
        }
        // a:1 was probed least recently and made room for c:1: forgotten, its file too.
        EXPECT_FALSE(std::filesystem::exists(store.FileOf("log", "a:1")));
        EXPECT_TRUE(std::filesystem::exists(store.FileOf("log", "c:1")));
        ASSERT_TRUE(store.Take("log", "a:1", 2, place));
        EXPECT_FALSE(place.known);
        place = TextLogPlace{"200", "210", "6", 9, true};
        store.Give("log", "a:1", place);
    }
    TextLogStore again(dir.path());
    TextLogPlace place;
    ASSERT_TRUE(again.Take("log", "a:1", 2, place));
    EXPECT_TRUE(place.known);
    EXPECT_EQ(place.position, "200");
    EXPECT_EQ(place.matches, 9u);
    // A state file that is not one is taken as no place at all.
    configtest::WriteFile(again.FileOf("log", "z:1"), "qdx-exporter textlog 1 x 3 4\n");
    ASSERT_TRUE(again.Take("log", "z:1", 0, place));
    EXPECT_FALSE(place.known);
    EXPECT_EQ(again.FileOf("m/../x", "h:1").find("/../"), std::string::npos);
}

}  // namespace
