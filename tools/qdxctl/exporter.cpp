#include "exporter.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "exporter_config.h"
#include "exporter_probe.h"
#include "commands.h"
#include "options.h"

namespace {

// A probe ends this long before the scraper gives up on it, so its answer still arrives.
constexpr double kScrapeMarginSeconds = 0.5;
// The most text-log places one module keeps, whatever its allow-list admits.
constexpr size_t kMaxLogPlaces = 100000;

// The exporter's own figures, per module.
struct ModuleFigures {
    unsigned long long probes = 0, failures = 0;
    double seconds = 0;
};

class Exporter {
public:
    Exporter(ExporterConfig config, const std::string& stateDir)
        : config_(std::move(config)), logs_(stateDir) {}

    void Probe(const httplib::Request& request, httplib::Response& response);
    void Metrics(const httplib::Request& request, httplib::Response& response);

private:
    void Refuse(httplib::Response& response, int status, const std::string& reason,
                const char* why);
    int TimeoutMs(const httplib::Request& request) const;

    const ExporterConfig config_;
    TextLogStore logs_;
    std::atomic<int> inFlight_{0};
    std::mutex figuresMutex_;
    std::map<std::string, ModuleFigures> figures_;
    std::map<std::string, unsigned long long> refused_;
};

void Exporter::Refuse(httplib::Response& response, int status, const std::string& reason,
                      const char* why) {
    {
        std::lock_guard<std::mutex> lock(figuresMutex_);
        refused_[why]++;
    }
    response.status = status;
    response.set_content(reason + "\n", "text/plain; charset=utf-8");
}

int Exporter::TimeoutMs(const httplib::Request& request) const {
    double seconds = config_.timeoutSeconds;
    std::string given = request.get_header_value("X-Prometheus-Scrape-Timeout-Seconds");
    char* end = nullptr;
    double scraper = given.empty() ? 0 : std::strtod(given.c_str(), &end);
    if (!given.empty() && end != nullptr && *end == '\0' && std::isfinite(scraper) && scraper > 0)
        seconds = std::min(seconds, scraper - kScrapeMarginSeconds);
    return std::max(100, static_cast<int>(seconds * 1000));
}

void Exporter::Probe(const httplib::Request& request, httplib::Response& response) {
    std::string moduleName = request.get_param_value("module");
    auto found = config_.modules.find(moduleName);
    if (found == config_.modules.end())
        return Refuse(response, 400, "unknown module '" + moduleName + "'", "module");
    const ExporterModule& module = found->second;
    ProbeTarget target;
    std::string error;
    if (!ParseProbeTarget(request.get_param_value("target"), target, error))
        return Refuse(response, 400, "target " + error, "target");
    if (target.port == 0) target.port = module.port;
    if (target.port == 0)
        return Refuse(response, 400, "the target names no port and the module has none", "target");
    const TargetList& allowed = module.targets.Empty() ? config_.targets : module.targets;
    if (!allowed.Admits(target))
        return Refuse(response, 403, "target not allowed by the modules file", "not_allowed");
    if (++inFlight_ > config_.maxProbes) {
        --inFlight_;
        return Refuse(response, 503, "too many probes at once (max_probes)", "busy");
    }
    Exposition exposition = ExpositionFor(request.get_header_value("Accept"));
    ProbeOutcome outcome = RunProbe(module, target, TimeoutMs(request), exposition, logs_,
                                    allowed.Count(kMaxLogPlaces));
    --inFlight_;
    {
        std::lock_guard<std::mutex> lock(figuresMutex_);
        ModuleFigures& figures = figures_[module.name];
        figures.probes++;
        figures.failures += outcome.success ? 0 : 1;
        figures.seconds += outcome.seconds;
    }
    response.set_content(outcome.body, ContentType(exposition));
}

void Exporter::Metrics(const httplib::Request& request, httplib::Response& response) {
    Exposition exposition = ExpositionFor(request.get_header_value("Accept"));
    MetricWriter out(exposition);
    std::lock_guard<std::mutex> lock(figuresMutex_);
    auto perModule = [&](const char* name, const char* type, const char* help, auto field) {
        out.Family(name, type, help);
        for (const auto& [module, figures] : config_.modules)
            out.Sample({{"module", module}}, field(figures_[module]));
    };
    perModule("qdx_exporter_probes", "counter", "probes answered",
              [](const ModuleFigures& f) { return static_cast<double>(f.probes); });
    perModule("qdx_exporter_probe_failures", "counter",
              "probes without a 200 reply from the agent",
              [](const ModuleFigures& f) { return static_cast<double>(f.failures); });
    perModule("qdx_exporter_probe_duration_seconds", "counter", "time spent in probes",
              [](const ModuleFigures& f) { return f.seconds; });
    out.Family("qdx_exporter_refused_requests", "counter",
               "probe requests refused before anything was sent");
    for (const char* why : {"module", "target", "not_allowed", "busy"})
        out.Sample({{"reason", why}}, static_cast<double>(refused_[why]));
    out.Family("qdx_exporter_probes_in_flight", "gauge", "probes running now");
    out.Sample({}, inFlight_.load());
    response.set_content(out.Finish(), ContentType(exposition));
}

bool SplitListen(const std::string& listen, std::string& host, int& port) {
    ProbeTarget target;
    std::string error;
    if (!ParseProbeTarget(listen, target, error) || target.port == 0) return false;
    host = target.host;
    port = target.port;
    return true;
}

}  // namespace

int RunExporter(const ExporterOptions& options) {
    ExporterConfig config;
    std::string error;
    if (options.config.empty()) Fail("exporter needs --config FILE");
    if (!LoadExporterConfig(options.config, config, error)) Fail(error);
    for (const auto& [name, module] : config.modules)
        if (module.tlsUnchecked)
            std::fprintf(stderr,
                         "qdxctl exporter: warning: module %s: tls_insecure_skip_verify: "
                         "the agents' certificates are not checked; anyone between may "
                         "pose as an agent\n",
                         name.c_str());
    if (options.checkOnly) {
        for (const auto& [name, module] : config.modules)
            std::printf("module %s: %s%s\n", name.c_str(), module.spec->name,
                        module.tls == nullptr ? ""
                        : module.tlsUnchecked ? " over TLS, certificates not checked"
                                              : " over TLS");
        return kExitOk;
    }
    std::string host;
    int port = 0;
    if (!SplitListen(options.listen, host, port))
        Fail("--listen " + options.listen + ": give ADDRESS:PORT");

    // SIGTERM and SIGINT are taken by one thread that stops the server; every other thread,
    // the server's included, has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // A connection holds its thread while it waits for its next request: Prometheus keeps one
    // connection per scraped target, so idle ones are let go after a second, and threads beyond
    // the probes serve them meanwhile.
    const int threads = config.maxProbes + 32;
    Exporter exporter(config, options.stateDir);
    httplib::Server server;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(64 * 1024);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(10, 0);
    server.set_keep_alive_max_count(100);
    server.set_keep_alive_timeout(1);
    // A reply goes out in more than one write: without this, each probe waits for the
    // scraper's delayed acknowledgement (some 40 ms).
    server.set_tcp_nodelay(true);
    server.Get("/probe", [&](const httplib::Request& request, httplib::Response& response) {
        exporter.Probe(request, response);
    });
    server.Get("/metrics", [&](const httplib::Request& request, httplib::Response& response) {
        exporter.Metrics(request, response);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("qdx exporter: /probe?target=HOST[:PORT]&module=NAME, /metrics\n",
                             "text/plain; charset=utf-8");
    });
    if (!server.bind_to_port(host, port)) Fail("cannot listen on " + options.listen);
    std::fprintf(stderr, "qdxctl exporter: listening on %s, %zu modules\n", options.listen.c_str(),
                 config.modules.size());

    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    });
    server.listen_after_bind();
    // The server may have stopped for another reason: wake the signal thread to end it.
    kill(getpid(), SIGTERM);
    stopper.join();
    return kExitOk;
}

int RunExporterCommand(Options& options) {
    if (!options.words.empty()) Fail("exporter takes no words: " + options.words[0]);
    return RunExporter(options.exporter);
}
