// Load mode of qdxctl: many requests at a fixed concurrency, with throughput and latency.
#pragma once

#include <string>
#include <vector>

#include "client/client.h"

struct LoadResult {
    int requests = 0;
    int failures = 0;  // no reply, or a result code other than "200"
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    int threads = 0;   // the concurrency reached (fewer when the system gave no more threads)
};

LoadResult RunLoad(const QdxEndpoint& endpoint, const std::string& command,
                   const std::vector<std::string>& params, int requests, int concurrency);
