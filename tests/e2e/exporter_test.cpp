// qdxctl exporter against real agents: every text-format answer accepted by promtool, OpenMetrics
// when asked for, the values of a probe as the agent gave them, a target that is down or silent,
// targets outside the allow-list and forbidden commands refused, text-log places that survive a
// restart, and a real Prometheus server scraping two agents through the exporter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <thread>

#include "client/client.h"
#include "harness.h"
#include "tls_keys.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPlugins = "/usr/lib/nagios/plugins/";

// A background program, stopped with SIGTERM (then SIGKILL) when the object goes.
class Background {
public:
    Background(const std::string& program, const std::vector<std::string>& args,
               const std::string& log) {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Background() { Stop(); }
    // Exit status after SIGTERM, or -1.
    int Stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 250; i++) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }

private:
    pid_t pid_ = -1;
};

bool Serves(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(0, 200000);
    return static_cast<bool>(client.Get("/"));
}

// The sample lines (no comments) of an exposition.
std::vector<std::string> Samples(const std::string& text) {
    std::vector<std::string> samples;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line[0] != '#') samples.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return samples;
}

// The value of the sample `name` (labels included in the name when given), or NaN.
double SampleValue(const std::string& text, const std::string& name) {
    for (const std::string& line : Samples(text))
        if (line.compare(0, name.size() + 1, name + " ") == 0)
            return std::stod(line.substr(name.size() + 1));
    return NAN;
}

// promtool check metrics on `text`: its exit status and what it said.
RunResult Promtool(const TempDir& dir, const std::string& text) {
    std::string file = dir.File("exposition.txt");
    WriteFile(file, text);
    return RunProgram("/bin/sh", {"-c", "promtool check metrics < " + file}, 30);
}

class ExporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(dir.File("app.log"), "start\n");
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(second.Start());
        WriteFile(dir.File("password"), "# agents' password\n" + Agent::Password() + "\n");
        WriteModules("");
        StartExporter();
    }
    void WriteModules(const std::string& extra) {
        WriteFile(dir.File("modules.yml"),
                  "password_file: " + dir.File("password") +
                      "\ntargets: [127.0.0.1]\nmax_probes: 2\nmodules:\n"
                      "  disk:\n    command: TEST-UNC\n    params: {path: " + dir.path() + "}\n"
                      "  plugin:\n    command: TEST-Plugin\n    params: {name: dummy1}\n"
                      "  info:\n    command: GetInfo\n"
                      "  labelled:\n    command: GetInfo\n"
                      "    values: [port]\n    labels: [agent_version, comment]\n"
                      "  tcp:\n    command: TEST-TCP\n"
                      "    params: {host: 127.0.0.1, port: " + std::to_string(first.port()) +
                      "}\n"
                      "  log:\n    command: TEST-TextLog\n"
                      "    params: {path: " + dir.File("app.log") + ", expression: error}\n" +
                      extra);
    }
    void StartExporter() {
        exporterPort = FreePort();
        exporter = std::make_unique<Background>(
            QDXCTL_BINARY,
            std::vector<std::string>{"exporter", "--listen",
                                     "127.0.0.1:" + std::to_string(exporterPort), "--config",
                                     dir.File("modules.yml"), "--state-dir", state.path()},
            dir.File("exporter.log"));
        ASSERT_TRUE(WaitUntil([&] { return Serves(exporterPort); }, 10))
            << ReadFile(dir.File("exporter.log"));
    }
    httplib::Result Get(const std::string& path, const httplib::Headers& headers = {}) {
        httplib::Client client("127.0.0.1", exporterPort);
        client.set_read_timeout(30, 0);
        return client.Get(path.c_str(), headers);
    }
    std::string Probe(const std::string& module, int port, const httplib::Headers& headers = {}) {
        auto result = Get("/probe?module=" + module + "&target=127.0.0.1:" + std::to_string(port),
                          headers);
        return result ? result->body : "<no answer>";
    }

    TempDir dir, state, firstDir, secondDir;
    std::string plugins = "plugins=1\ndelayforscripts=0\nplugin.dummy1=" + kPlugins +
                          "check_dummy 1 'one warning'\n";
    Agent first{firstDir, plugins}, second{secondDir, plugins};
    std::unique_ptr<Background> exporter;
    int exporterPort = 0;
};

TEST_F(ExporterTest, ProbesAnswerWhatTheAgentSaid) {
    std::string disk = Probe("disk", first.port());
    EXPECT_EQ(SampleValue(disk, "qdx_probe_success"), 1) << disk;
    EXPECT_EQ(SampleValue(disk, "qdx_probe_result_code"), 200);
    EXPECT_GT(SampleValue(disk, "qdx_probe_duration_seconds"), 0);
    QdxReplyText direct = first.Call("TEST-UNC", {dir.path()});
    ASSERT_EQ(direct.Code(), "200");
    EXPECT_EQ(SampleValue(disk, "qdx_unc_total_bytes"), std::stod(direct.Lines()[0])) << disk;
    EXPECT_NE(disk.find("\nqdx_unc_total_bytes " + direct.Lines()[0].substr(
                            direct.Lines()[0].find_first_not_of(' ')) + "\n"),
              std::string::npos) << "sizes in full";
    EXPECT_NE(disk.find("# HELP qdx_unc_total_bytes TEST-UNC: "), std::string::npos);
    EXPECT_NE(disk.find("# TYPE qdx_unc_total_bytes gauge"), std::string::npos);

    std::string plugin = Probe("plugin", second.port());
    EXPECT_EQ(SampleValue(plugin, "qdx_plugin_exit_code"), 1) << plugin;
    EXPECT_EQ(plugin.find("one warning"), std::string::npos) << "text stays out of labels";
    // Text values become labels only where the module asks, and then only those it names.
    std::string info = Probe("info", first.port());
    EXPECT_EQ(info.find("1.30"), std::string::npos) << info;
    EXPECT_EQ(SampleValue(info, "qdx_info_port"), first.port());
    std::string labelled = Probe("labelled", first.port());
    EXPECT_EQ(Samples(labelled).size(), 5u) << labelled;
    EXPECT_EQ(SampleValue(labelled, "qdx_info_info{agent_version=\"1.30\",comment=\"\"}"), 1)
        << labelled;
    std::string tcp = Probe("tcp", first.port());
    double elapsed = SampleValue(tcp, "qdx_tcp_elapsed_seconds");
    EXPECT_TRUE(elapsed >= 0 && elapsed < 5) << tcp << " (milliseconds become seconds)";

    // promtool accepts every text-format answer: probes, a failed one, the exporter's own.
    for (const std::string& text : {disk, plugin, tcp, info, labelled,
                                    Probe("log", first.port()), Probe("disk", FreePort()),
                                    Get("/metrics")->body}) {
        RunResult lint = Promtool(dir, text);
        EXPECT_EQ(lint.exitCode, 0) << text << lint.out << lint.err;
    }
    std::string own = Get("/metrics")->body;
    EXPECT_GE(SampleValue(own, "qdx_exporter_probes_total{module=\"disk\"}"), 2) << own;
    EXPECT_GE(SampleValue(own, "qdx_exporter_probe_failures_total{module=\"disk\"}"), 1);
}

TEST_F(ExporterTest, OpenMetricsWhenAsked) {
    auto result = Get("/probe?module=log&target=127.0.0.1:" + std::to_string(first.port()),
                      {{"Accept", "application/openmetrics-text;version=1.0.0,text/plain;q=0.5"}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->get_header_value("Content-Type"),
              "application/openmetrics-text; version=1.0.0; charset=utf-8");
    const std::string& body = result->body;
    EXPECT_EQ(body.substr(body.size() - 6), "# EOF\n");
    EXPECT_NE(body.find("# TYPE qdx_textlog_matched_lines counter\n"), std::string::npos) << body;
    EXPECT_NE(body.find("\nqdx_textlog_matched_lines_total 0\n"), std::string::npos) << body;
    auto text = Get("/probe?module=disk&target=127.0.0.1:" + std::to_string(first.port()));
    EXPECT_EQ(text->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
}

TEST_F(ExporterTest, DownSilentRefusedAndBusyTargets) {
    // Down: success 0 and the duration, no other qdx_ series.
    std::string down = Probe("disk", FreePort());
    std::vector<std::string> samples = Samples(down);
    ASSERT_EQ(samples.size(), 2u) << down;
    EXPECT_EQ(samples[0], "qdx_probe_success 0");
    EXPECT_EQ(samples[1].rfind("qdx_probe_duration_seconds ", 0), 0u);

    // Silent: a listener that never answers holds the probe only up to the scraper's time-out
    // less the margin.
    int silentPort = 0;
    int silent = OccupyPort(silentPort);
    auto start = Clock::now();
    std::string held = Probe("disk", silentPort, {{"X-Prometheus-Scrape-Timeout-Seconds", "1.5"}});
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(SampleValue(held, "qdx_probe_success"), 0) << held;
    EXPECT_LT(seconds, 5);

    // While two probes hang on it, a third is refused at once (max_probes: 2).
    std::vector<std::thread> hanging;
    for (int i = 0; i < 2; i++)
        hanging.emplace_back([&] {
            Probe("disk", silentPort, {{"X-Prometheus-Scrape-Timeout-Seconds", "3"}});
        });
    ASSERT_TRUE(WaitUntil(
        [&] {
            return SampleValue(Get("/metrics")->body, "qdx_exporter_probes_in_flight") == 2;
        },
        5));
    auto busy = Get("/probe?module=disk&target=127.0.0.1:" + std::to_string(first.port()));
    EXPECT_EQ(busy->status, 503);
    for (std::thread& t : hanging) t.join();
    close(silent);

    struct Case {
        std::string query;
        int status;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"module=disk&target=127.0.0.2:" + std::to_string(first.port()), 403},
             {"module=disk&target=localhost:" + std::to_string(first.port()), 403},
             {"module=disk&target=10.0.0.1:1", 403},
             {"module=nothing&target=127.0.0.1:1", 400},
             {"module=disk&target=127.0.0.1", 400},  // no port anywhere
             {"module=disk&target=", 400},
             {"module=disk", 400},
         }) {
        auto result = Get("/probe?" + c.query);
        ASSERT_TRUE(result) << c.query;
        EXPECT_EQ(result->status, c.status) << c.query << ": " << result->body;
    }
}

TEST_F(ExporterTest, ForbiddenCommandsAndBadFilesAreRefusedAtStart) {
    for (const char* module :
         {"  act:\n    command: ACT-ExternalCmd\n    params: {command: /bin/true}\n",
          "  set:\n    command: GetSettings\n", "  quit:\n    command: QUIT\n"}) {
        WriteModules(module);
        RunResult run = RunProgram(QDXCTL_BINARY, {"exporter", "--listen", "127.0.0.1:" +
                                                       std::to_string(FreePort()), "--config",
                                                   dir.File("modules.yml")});
        EXPECT_EQ(run.exitCode, 64) << module;
        EXPECT_NE(run.err.find("is not a read-only request"), std::string::npos) << run.err;
    }
}

// TLS modules give the values the plain port gives, by certificate or by pre-shared key, and
// tls_port serves targets that name no port; a certificate from another authority fails the
// probe, and a module that checks none is named when the exporter starts.
TEST_F(ExporterTest, TlsModulesAnswerAsThePlainPort) {
    TempDir keysDir, agentDir;
    TlsKeys keys(keysDir);
    const std::string tlsPort = std::to_string(FreePort());
    Agent agent(agentDir, "host=\ntlsport=" + tlsPort + "\ntlscertfile=" + keys.File("server.pem") +
                              "\ntlskeyfile=" + keys.File("server.key") +
                              "\ntlspskidentity=monitor\ntlspskfile=" + keys.File("psk") + "\n");
    ASSERT_TRUE(agent.Start());
    auto module = [](const std::string& name, const std::string& more) {
        return "  " + name + ":\n    command: GetInfo\n    values: [port]\n" +
               "    labels: [agent_version]\n" + more;
    };
    const std::string tls = "    tls: true\n    tls_port: " + tlsPort + "\n";
    exporter->Stop();
    WriteModules(module("plain", "") +
                 module("certified", tls + "    tls_ca_file: " + keys.File("ca.pem") + "\n") +
                 module("keyed", tls + "    tls_psk_identity: monitor\n    tls_psk_file: " +
                                     keys.File("psk") + "\n") +
                 module("stranger", tls + "    tls_ca_file: " + keys.File("other-ca.pem") + "\n") +
                 module("unchecked", tls + "    tls_insecure_skip_verify: true\n"));
    StartExporter();
    EXPECT_NE(ReadFile(dir.File("exporter.log"))
                  .find("warning: module unchecked: tls_insecure_skip_verify"),
              std::string::npos)
        << ReadFile(dir.File("exporter.log"));
    auto probe = [&](const std::string& name, const std::string& target,
                     const httplib::Headers& headers = {}) {
        auto result = Get("/probe?module=" + name + "&target=" + target, headers);
        return result ? result->body : "<no answer>";
    };
    auto values = [](const std::string& body) {
        std::vector<std::string> kept;
        for (const std::string& sample : Samples(body))
            if (sample.rfind("qdx_probe_duration_seconds ", 0) != 0) kept.push_back(sample);
        return kept;
    };
    const std::string plainTarget = "127.0.0.1:" + std::to_string(agent.port());
    std::string plain = probe("plain", plainTarget);
    ASSERT_EQ(SampleValue(plain, "qdx_probe_success"), 1) << plain;
    for (const char* name : {"certified", "keyed", "unchecked"})
        EXPECT_EQ(values(probe(name, "127.0.0.1")), values(plain)) << name;
    std::string stranger = probe("stranger", "127.0.0.1");
    EXPECT_EQ(SampleValue(stranger, "qdx_probe_success"), 0) << stranger;
    // The target's own port wins over tls_port: the plain port makes no TLS handshake (and waits
    // for the rest of a request until the probe gives up).
    EXPECT_EQ(
        SampleValue(probe("certified", plainTarget, {{"X-Prometheus-Scrape-Timeout-Seconds", "1"}}),
                    "qdx_probe_success"),
        0);
}

TEST_F(ExporterTest, TextLogCountsMatchesAcrossARestart) {
    auto matched = [&] {
        return SampleValue(Probe("log", first.port()), "qdx_textlog_matched_lines_total");
    };
    EXPECT_EQ(matched(), 0);  // the first probe marks the end of the log
    WriteFile(dir.File("app.log"), ReadFile(dir.File("app.log")) +
                                       "an error\nfine\nerror again\nthird error\n");
    EXPECT_EQ(matched(), 3);
    EXPECT_EQ(matched(), 3);
    exporter->Stop();
    StartExporter();
    WriteFile(dir.File("app.log"), ReadFile(dir.File("app.log")) + "error four\n");
    EXPECT_EQ(matched(), 4);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A real Prometheus (which asks for OpenMetrics first) scrapes both agents through the exporter;
// its HTTP API shows the series with the agents' values.
TEST_F(ExporterTest, RealPrometheusScrapesTwoAgents) {
    int promPort = FreePort();
    std::string config =
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
        "scrape_configs:\n"
        "  - job_name: qdx_plugin\n    metrics_path: /probe\n    params:\n"
        "      module: [plugin]\n    static_configs:\n"
        "      - targets: ['127.0.0.1:" + std::to_string(first.port()) + "', '127.0.0.1:" +
        std::to_string(second.port()) + "']\n"
        "    relabel_configs:\n"
        "      - source_labels: [__address__]\n        target_label: __param_target\n"
        "      - source_labels: [__param_target]\n        target_label: instance\n"
        "      - target_label: __address__\n        replacement: 127.0.0.1:" +
        std::to_string(exporterPort) + "\n";
    WriteFile(dir.File("prometheus.yml"), config);
    Background prometheus("/usr/bin/prometheus",
                          {"--config.file=" + dir.File("prometheus.yml"),
                           "--storage.tsdb.path=" + dir.File("tsdb"),
                           "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                          dir.File("prometheus.log"));
    nlohmann::json result;
    auto query = [&](const std::string& expression) {
        httplib::Client client("127.0.0.1", promPort);
        client.set_connection_timeout(1, 0);
        auto answer = client.Get(("/api/v1/query?query=" + expression).c_str());
        if (!answer || answer->status != 200) return false;
        result = nlohmann::json::parse(answer->body, nullptr, false);
        return !result.is_discarded() && result["data"]["result"].size() == 2;
    };
    ASSERT_TRUE(WaitUntil([&] { return query("qdx_plugin_exit_code"); }, 40))
        << ReadFile(dir.File("prometheus.log")).substr(0, 4000);
    for (const auto& series : result["data"]["result"]) {
        EXPECT_EQ(series["value"][1], "1") << series.dump();
        EXPECT_EQ(series["metric"]["job"], "qdx_plugin");
    }
    ASSERT_TRUE(query("qdx_probe_success"));
    for (const auto& series : result["data"]["result"]) EXPECT_EQ(series["value"][1], "1");
}
#endif

}  // namespace
