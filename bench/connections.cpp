// Holds many idle connections open against a running agent and reports the agent's CPU time
// meanwhile, and whether a GetInfo is still answered while they are open.
//
//   qdx_connections PORT PASSWORD AGENT_PID CONNECTIONS SECONDS
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "cpu_seconds.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s PORT PASSWORD AGENT_PID CONNECTIONS SECONDS\n", argv[0]);
        return 2;
    }
    QdxEndpoint endpoint;
    endpoint.port = std::atoi(argv[1]);
    endpoint.password = argv[2];
    int pid = std::atoi(argv[3]);
    int wanted = std::atoi(argv[4]);
    int seconds = std::atoi(argv[5]);

    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::vector<int> socks;
    for (int i = 0; i < wanted; i++) {
        std::string error;
        int sock = QdxConnect(endpoint, error);
        if (sock < 0) {
            std::fprintf(stderr, "connection %d: %s\n", i, error.c_str());
            break;
        }
        socks.push_back(sock);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the sessions start
    double cpuBefore = CpuSeconds(pid);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpuAfter = CpuSeconds(pid);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    QdxReplyText reply = QdxCall(endpoint, "GetInfo");
    for (int sock : socks) close(sock);
    std::printf("open %zu  agent-cpu %.2f%%  getinfo %s\n", socks.size(),
                100.0 * (cpuAfter - cpuBefore) / wall,
                reply.status == CallStatus::Ok && reply.Code() == "200" ? "answered" : "FAILED");
    return 0;
}
