// Hostile loads against a running agent, sent from 127.0.0.2 and up (each connection from an
// address of its own), with an honest GetInfo from 127.0.0.1 started every 200 ms meanwhile, each
// given 1 s to be answered:
//
//   qdx_hostile PORT PASSWORD AGENT_PID trickle N SECONDS   N connections that each send one byte
//                                                           of a request every 2 s, reconnecting
//                                                           when the agent closes them
//   qdx_hostile PORT PASSWORD AGENT_PID partial N SECONDS   N connections that each announce a
//                                                           1 MiB request, send all of it but 100
//                                                           bytes, then trickle (reconnecting too)
//   qdx_hostile PORT PASSWORD AGENT_PID vanish N SECONDS    N connections that go silent without
//                                                           closing: their packets are dropped, so
//                                                           they answer nothing, not even keepalive
//
// Prints one line: the agent's peak resident memory and descriptors during the load, how many
// GetInfo probes were answered within their second and the slowest answer, when the agent had let
// go of the vanished peers (vanish: seconds after they went silent), and how long after the load
// the agent was back at the descriptor count it had before (SECONDS more at most; "never"
// otherwise). Loopback only.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kAnnounced = 1u << 20;  // bytes after the length field
constexpr size_t kHeldBack = 100;
constexpr int kProbeEveryMs = 200;
constexpr int kDeadlineMs = 1000;  // a probe answered later counts as not answered

int DescriptorCount(int pid) {
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') count++;
    closedir(dir);
    return count;
}

long ResidentKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// A connection to the agent from 127.0.0.2 + `peer`, the connect still in progress.
int Connect(int port, int peer) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(peer));
    if (bind(sock, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
        close(sock);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(sock);
        return -1;
    }
    return sock;
}

// One hostile connection and how far its request has got.
struct Hostile {
    int peer = 0;  // its address is 127.0.0.2 + peer
    int sock = -1;
    size_t sent = 0;
    Clock::time_point nextByte{};
};

std::string RequestStart() {
    std::string header(4, '\0');
    for (int i = 0; i < 4; i++) header[i] = static_cast<char>((kAnnounced >> (8 * i)) & 0xFF);
    return header + "\x03\x12";
}

class Load {
public:
    Load(int port, const std::string& mode, int count) : port_(port), mode_(mode) {
        hostile_.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; i++) hostile_[static_cast<size_t>(i)].peer = i;
        filler_.assign(64 * 1024, 'x');
        start_ = RequestStart();
    }

    // Keeps every connection open and sending until `until`.
    void Run(Clock::time_point until) {
        while (Clock::now() < until) {
            for (Hostile& h : hostile_) Step(h);
            std::this_thread::sleep_for(std::chrono::milliseconds(mode_ == "partial" ? 1 : 50));
        }
    }

    void CloseAll() {
        for (Hostile& h : hostile_)
            if (h.sock >= 0) close(h.sock);
    }

private:
    void Reopen(Hostile& h) {
        if (h.sock >= 0) close(h.sock);
        int peer = h.peer;
        h = Hostile();
        h.peer = peer;
        h.sock = Connect(port_, peer);
        if (h.sock >= 0 && mode_ == "vanish") {
            // Connected first (the handshake needs answers), then deaf.
            pollfd writable{h.sock, POLLOUT, 0};
            poll(&writable, 1, 1000);
            IgnoreIncomingPackets(h.sock);
        }
    }

    // True while the agent keeps the connection open.
    static bool Open(int sock) {
        pollfd check{sock, POLLIN, 0};
        if (poll(&check, 1, 0) <= 0) return true;
        char byte;
        return recv(sock, &byte, 1, MSG_DONTWAIT) > 0;
    }

    void Step(Hostile& h) {
        if (h.sock < 0) {
            Reopen(h);
            return;
        }
        if (mode_ == "vanish") return;  // connected once and silent for good
        if (!Open(h.sock)) {
            Reopen(h);
            return;
        }
        auto now = Clock::now();
        size_t goal = mode_ == "partial" ? 4 + kAnnounced - kHeldBack : 0;
        if (h.sent < start_.size() || h.sent < goal) {
            if (h.sent >= start_.size() && now < h.nextByte) return;
            const char* data;
            size_t length;
            if (h.sent < start_.size()) {
                data = start_.data() + h.sent;
                length = mode_ == "partial" ? start_.size() - h.sent : 1;
            } else {
                data = filler_.data();
                length = std::min(filler_.size(), goal - h.sent);
            }
            ssize_t n = send(h.sock, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) h.sent += static_cast<size_t>(n);
            if (mode_ == "trickle") h.nextByte = now + std::chrono::seconds(2);
            return;
        }
        // The rest of a request is trickled, a byte every 2 s, never completing it.
        if (now < h.nextByte || h.sent >= 4 + kAnnounced - 1) return;
        if (send(h.sock, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) h.sent++;
        h.nextByte = now + std::chrono::seconds(2);
    }

    int port_;
    std::string mode_;
    std::vector<Hostile> hostile_;
    std::string filler_;
    std::string start_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s PORT PASSWORD AGENT_PID trickle|partial|vanish N SECONDS\n",
                     argv[0]);
        return 2;
    }
    QdxEndpoint endpoint;
    endpoint.port = std::atoi(argv[1]);
    endpoint.password = argv[2];
    endpoint.timeoutMs = kDeadlineMs;
    int pid = std::atoi(argv[3]);
    std::string mode = argv[4];
    int count = std::atoi(argv[5]);
    int seconds = std::atoi(argv[6]);
    if (mode != "trickle" && mode != "partial" && mode != "vanish") return 2;

    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    int idleDescriptors = DescriptorCount(pid);
    std::atomic<bool> loading{true};
    std::atomic<long> peakKiB{0};
    std::atomic<int> peakDescriptors{0};
    std::atomic<int> asked{0}, answered{0};
    std::atomic<long> slowestMs{0};
    auto started = Clock::now();
    std::atomic<double> reapedAfter{-1};
    std::thread sampler([&] {
        while (loading) {
            int descriptors = DescriptorCount(pid);
            peakKiB = std::max(peakKiB.load(), ResidentKiB(pid));
            peakDescriptors = std::max(peakDescriptors.load(), descriptors);
            // The peers have all been taken, and let go of again.
            if (reapedAfter < 0 && peakDescriptors >= idleDescriptors + count / 2 &&
                descriptors <= idleDescriptors + 1)
                reapedAfter = std::chrono::duration<double>(Clock::now() - started).count();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Probes on a fixed schedule, each on a thread of its own, so a slow answer delays no other.
    std::vector<std::thread> probes;
    std::thread honest([&] {
        auto next = Clock::now() + std::chrono::seconds(1);  // let the load build up
        while (loading) {
            std::this_thread::sleep_until(next);
            if (!loading) break;
            next += std::chrono::milliseconds(kProbeEveryMs);
            probes.emplace_back([&] {
                auto start = Clock::now();
                QdxReplyText reply = QdxCall(endpoint, "GetInfo");
                auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                        .count();
                asked++;
                if (reply.status != CallStatus::Ok || reply.Code() != "200" || ms > kDeadlineMs)
                    return;
                answered++;
                long seen = slowestMs.load();
                while (ms > seen && !slowestMs.compare_exchange_weak(seen, static_cast<long>(ms))) {
                }
            });
        }
    });

    Load load(endpoint.port, mode, count);
    load.Run(Clock::now() + std::chrono::seconds(seconds));
    loading = false;
    honest.join();
    for (std::thread& probe : probes) probe.join();
    sampler.join();
    load.CloseAll();

    auto closed = Clock::now();
    std::string back = "never";
    while (Clock::now() - closed < std::chrono::seconds(seconds)) {
        if (DescriptorCount(pid) <= idleDescriptors) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1fs",
                          std::chrono::duration<double>(Clock::now() - closed).count());
            back = text;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    char reaped[32] = "-";
    if (reapedAfter >= 0) std::snprintf(reaped, sizeof reaped, "%.0fs", reapedAfter.load());
    std::printf(
        "peak-rss %ld MiB  peak-fds %d  getinfo %d/%d  slowest %ld ms  reaped %s  "
        "idle-fds-again %s\n",
        peakKiB.load() / 1024, peakDescriptors.load(), answered.load(), asked.load(),
        slowestMs.load(), reaped, back.c_str());
    return 0;
}
