// The agent's processor time per GetInfo over the plain port and over the TLS port (a full
// handshake per connection, as the protocol has one request per connection), then a flood of TLS
// handshakes from 127.0.0.2 and up while GetInfo from 127.0.0.1 goes on on the plain port: the
// share of those answered within a second.
//
//   qdx_tls_cost PORT TLSPORT PASSWORD AGENT_PID CA_FILE REQUESTS FLOOD_SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

namespace {

using Clock = std::chrono::steady_clock;

// Agent processor microseconds per GetInfo on `endpoint`; failures counted in `failed`.
double CostPerRequest(const QdxEndpoint& endpoint, int pid, int requests, int& failed) {
    failed = 0;
    double before = CpuSeconds(pid);
    for (int i = 0; i < requests; i++)
        if (QdxCall(endpoint, "GetInfo").Code() != "200") failed++;
    return 1e6 * (CpuSeconds(pid) - before) / requests;
}

// One handshake from `source` to the TLS port, then close: what a flooding peer costs the agent.
void Handshake(const char* source, int port, const TlsContextPtr& context) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(sock, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd writable{sock, POLLOUT, 0};
    if (poll(&writable, 1, 2000) == 1) {
        TlsStream stream(context, sock, false);
        std::string error;
        ShakeHands(stream, sock, Clock::now() + std::chrono::seconds(2), error);
    }
    close(sock);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s PORT TLSPORT PASSWORD AGENT_PID CA_FILE REQUESTS SECONDS\n",
                     argv[0]);
        return 2;
    }
    QdxEndpoint plain;
    plain.port = std::atoi(argv[1]);
    plain.password = argv[3];
    const int tlsPort = std::atoi(argv[2]);
    const int pid = std::atoi(argv[4]);
    const int requests = std::atoi(argv[6]);
    const int floodSeconds = std::atoi(argv[7]);

    TlsOptions options;
    options.caFile = argv[5];
    options.serverName = "127.0.0.1";
    String error;
    QdxEndpoint tls = plain;
    tls.port = tlsPort;
    tls.tls = NewClientTlsContext(options, error);
    if (tls.tls == nullptr) {
        std::fprintf(stderr, "TLS: %s\n", error.SetZero().Data());
        return 1;
    }
    int plainFailed = 0, tlsFailed = 0;
    double plainCost = CostPerRequest(plain, pid, requests, plainFailed);
    double tlsCost = CostPerRequest(tls, pid, requests, tlsFailed);
    std::printf("agent processor time per GetInfo: plain %.0f us, TLS %.0f us (%d requests each, "
                "%d + %d failed)\n",
                plainCost, tlsCost, requests, plainFailed, tlsFailed);

    // The flood: handshakes from 127.0.0.2 to 127.0.0.65 on as many threads as processors * 4.
    options.verifyPeer = false;
    TlsContextPtr floodContext = NewClientTlsContext(options, error);
    std::atomic<bool> stop{false};
    std::atomic<long> handshakes{0};
    std::vector<std::thread> flooders;
    int threads = 4 * static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    for (int t = 0; t < threads; t++)
        flooders.emplace_back([&, t] {
            char source[32];
            for (long n = 0; !stop.load(); n++) {
                std::snprintf(source, sizeof source, "127.0.0.%ld", 2 + (t * 7 + n) % 64);
                Handshake(source, tlsPort, floodContext);
                handshakes++;
            }
        });
    int asked = 0, inTime = 0;
    auto end = Clock::now() + std::chrono::seconds(floodSeconds);
    while (Clock::now() < end) {
        auto start = Clock::now();
        bool ok = QdxCall(plain, "GetInfo").Code() == "200";
        asked++;
        if (ok && Clock::now() - start <= std::chrono::seconds(1)) inTime++;
    }
    stop = true;
    for (std::thread& t : flooders) t.join();
    std::printf("handshake flood (%ld handshakes from 127.0.0.2-65 in %d s): plain GetInfo from "
                "127.0.0.1 answered within 1 s: %d of %d (%.1f%%)\n",
                handshakes.load(), floodSeconds, inTime, asked, 100.0 * inTime / (asked ? asked : 1));
    return 0;
}
