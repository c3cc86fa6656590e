#include "load.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "client/multi_call.h"
#include "commands.h"
#include "request_words.h"

namespace {

// Descriptors kept free beside the load's connections.
constexpr int kDescriptorReserve = 16;

}  // namespace

LoadResult RunLoad(const QdxEndpoint& endpoint, const std::string& command,
                   const std::vector<std::string>& params, int requests, int concurrency) {
    using Clock = std::chrono::steady_clock;
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::mutex latencyMutex;
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(requests));

    auto worker = [&] {
        std::vector<double> mine;
        while (next.fetch_add(1) < requests) {
            auto start = Clock::now();
            QdxReplyText reply = QdxCall(endpoint, command, params);
            std::chrono::duration<double, std::milli> took = Clock::now() - start;
            mine.push_back(took.count());
            if (reply.status != CallStatus::Ok || reply.Code() != "200") failures++;
        }
        std::lock_guard<std::mutex> lock(latencyMutex);
        latencies.insert(latencies.end(), mine.begin(), mine.end());
    };

    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < std::max(1, concurrency); i++) {
        // The thread library reports a thread it cannot start only by throwing.
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    for (auto& t : threads) t.join();
    std::chrono::duration<double> elapsed = Clock::now() - start;

    LoadResult result;
    result.requests = static_cast<int>(latencies.size());
    result.failures = failures.load();
    result.seconds = elapsed.count();
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        size_t i = static_cast<size_t>(p * static_cast<double>(latencies.size() - 1) + 0.5);
        return latencies[i];
    };
    result.p50Ms = percentile(0.50);
    result.p99Ms = percentile(0.99);
    result.threads = static_cast<int>(threads.size());
    return result;
}

int RunLoadCommand(Options& options) {
    if (options.loadRequests <= 0 || options.words.empty())
        Fail("load needs -n N and a command (qdxctl help load)");
    if (!options.hostsFile.empty()) Fail("load asks one agent, not --hosts");
    int room = DescriptorRoom(kDescriptorReserve);
    if (options.loadConcurrency > room)
        Fail("load -c " + std::to_string(options.loadConcurrency) +
             ": the descriptor limit (ulimit -n) leaves room for " + std::to_string(room) +
             " connections at once");
    NeedAgent(options);
    Request request = BuildRequest(options.words, options);
    LoadResult result = RunLoad(options.endpoint, request.command, request.lines,
                                options.loadRequests, options.loadConcurrency);
    if (result.threads == 0) {
        std::fprintf(stderr, "qdxctl: load: no thread could be started\n");
        return kExitNotOk;
    }
    if (result.threads < options.loadConcurrency)
        std::fprintf(stderr, "qdxctl: load: the system started %d of %d threads\n",
                     result.threads, options.loadConcurrency);
    std::printf("requests %d  concurrency %d  failures %d\n", result.requests, result.threads,
                result.failures);
    std::printf("requests/s %.1f  p50 %.3f ms  p99 %.3f ms\n",
                result.seconds > 0 ? result.requests / result.seconds : 0.0, result.p50Ms,
                result.p99Ms);
    return result.failures == 0 ? kExitOk : kExitNotOk;
}
