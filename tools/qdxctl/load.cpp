#include "load.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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
    for (int i = 0; i < std::max(1, concurrency); i++) threads.emplace_back(worker);
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
    return result;
}
