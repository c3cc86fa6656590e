// "upgrade FILE" with --hosts: a few agents at a time, one progress line per step and host.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "hosts.h"
#include "output.h"
#include "upgrade.h"

namespace {

volatile sig_atomic_t gStopUpgrades = 0;

void OnInterrupt(int) {
    gStopUpgrades = 1;
}

}  // namespace

int UpgradeHosts(const Options& options, const std::string& file, int waitSeconds) {
    std::vector<HostLine> hosts = LoadHostList(options);
    Request request;
    request.command = "UpgradeCode";
    request.spec = FindCommandSpec(request.command);

    std::mutex outputMutex;
    std::atomic<size_t> next{0};
    std::atomic<int> worst{0};
    std::atomic<int> upgraded{0}, failed{0}, skipped{0};
    auto say = [&](const HostLine& host, const std::string& text) {
        std::lock_guard<std::mutex> lock(outputMutex);
        std::printf("%s:%d %s\n", host.target.host.c_str(), host.target.port, text.c_str());
        std::fflush(stdout);
    };
    auto worker = [&] {
        for (size_t i; !gStopUpgrades && (i = next.fetch_add(1)) < hosts.size();) {
            const HostLine& host = hosts[i];
            if (host.duplicateOf != 0) {
                say(host, "skipped: duplicate of line " + std::to_string(host.duplicateOf));
                skipped++;
                continue;
            }
            QdxEndpoint endpoint = options.endpoint;
            endpoint.host = host.target.host;
            endpoint.port = host.target.port;
            int status = RunUpgrade(
                endpoint, file, waitSeconds,
                [&](const QdxReplyText& reply) {
                    say(host, ReplyLine(request, reply));
                    return ExitFor(reply);
                },
                [&](const std::string& text) { say(host, text); });
            (status == 0 ? upgraded : failed)++;
            for (int seen = worst.load(); status > seen && !worst.compare_exchange_weak(seen, status);)
                ;
        }
    };
    struct sigaction action {}, previous {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;  // transfers under way finish; no new one starts
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    size_t count = std::min(hosts.size(), static_cast<size_t>(std::max(1, options.parallel)));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < count; t++) threads.emplace_back(worker);
    for (std::thread& t : threads) t.join();
    sigaction(SIGINT, &previous, nullptr);
    int notStarted = static_cast<int>(hosts.size()) - upgraded - failed - skipped;
    std::fprintf(stderr, "%s%zu hosts: %d upgraded, %d failed, %d skipped (duplicate)%s\n",
                 gStopUpgrades ? "interrupted: " : "", hosts.size(), upgraded.load(),
                 failed.load(), skipped.load(),
                 notStarted > 0 ? (", " + std::to_string(notStarted) + " not started").c_str()
                                : "");
    return gStopUpgrades ? kExitInterrupted : worst.load();
}
