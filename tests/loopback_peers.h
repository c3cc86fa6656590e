// Peers on 127.0.0.1 (or ::1) for the network tests: TCP listeners that answer, hang up or hold, a port
// nobody listens on, a listener that never completes a handshake, and UDP sockets that echo,
// stay silent or capture. Each peer serves from its own thread, waits with poll in short steps
// and stops when it is destroyed, so no test can hang on one.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peers {

constexpr int kStepMs = 20;

// A socket of `type` bound to 127.0.0.1 (or ::1 with `ipv6`) on a port the system picks; the
// port goes to `port`.
inline int BindLoopback(int type, int& port, bool ipv6 = false) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin6_port);
        return fd;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A TCP port of 127.0.0.1 that nothing listens on (bound once, then released).
inline int ClosedPort() {
    int port = 0;
    close(BindLoopback(SOCK_STREAM, port));
    return port;
}

inline bool Readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

// Base of the peers: one socket, one serving thread, a stop flag checked every step.
class Peer {
public:
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    virtual ~Peer() { Stop(); }
    int port() const { return port_; }

    // What arrived so far: one entry per TCP connection or per UDP datagram.
    std::vector<std::string> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    // Waits (up to `seconds`) until at least `count` entries have arrived.
    bool WaitForEntries(size_t count, double seconds) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (Received().size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
        }
        return Received().size() >= count;
    }

protected:
    explicit Peer(int type, bool ipv6 = false) : fd_(BindLoopback(type, port_, ipv6)) {}
    void Start() {
        thread_ = std::thread([this] {
            while (!stop_.load()) Step();
        });
    }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        for (int fd : held_) close(fd);
        held_.clear();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // One bounded step of serving; runs on the peer's thread.
    virtual void Step() = 0;
    void Record(std::string bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(std::move(bytes));
    }
    bool Stopping() const { return stop_.load(); }

    int port_ = 0;  // before fd_: set while fd_ is made
    int fd_;
    std::vector<int> held_;  // descriptors closed at Stop (serving thread only until then)

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> received_;
};

// A TCP listener. Answer: sends `answer` at once, then records what the client sends until it
// closes. Close: accepts and closes at once. Hold: accepts and keeps the connection without
// reading or writing until the peer is destroyed.
class TcpPeer : public Peer {
public:
    enum class Mode { Answer, Close, Hold };
    explicit TcpPeer(Mode mode, std::string answer = "", bool ipv6 = false)
        : Peer(SOCK_STREAM, ipv6), mode_(mode), answer_(std::move(answer)) {
        listen(fd_, 16);
        Start();
    }
    ~TcpPeer() override { Stop(); }

private:
    void Step() override {
        if (!Readable(fd_, kStepMs)) return;
        int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        if (mode_ == Mode::Hold) {
            held_.push_back(client);
            Record("");
            return;
        }
        if (mode_ == Mode::Answer) {
            if (!answer_.empty()) send(client, answer_.data(), answer_.size(), MSG_NOSIGNAL);
            Record(ReadUntilClosed(client));
        } else {
            Record("");
        }
        close(client);
    }
    // Everything the client sends until it closes, for at most ten seconds.
    std::string ReadUntilClosed(int client) {
        std::string bytes;
        char block[4096];
        for (int step = 0; step < 10000 / kStepMs && !Stopping(); step++) {
            if (!Readable(client, kStepMs)) continue;
            ssize_t n = recv(client, block, sizeof block, 0);
            if (n <= 0) break;
            bytes.append(block, static_cast<size_t>(n));
        }
        return bytes;
    }

    Mode mode_;
    std::string answer_;
};

// A listener with a full accept queue: the system leaves further handshakes unanswered, so a
// connect to it can only time out.
class DeafTcpPeer : public Peer {
public:
    DeafTcpPeer() : Peer(SOCK_STREAM) {
        listen(fd_, 0);
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~DeafTcpPeer() override { close(filler_); }

private:
    void Step() override {}
    int filler_;
};

// A UDP socket. Echo: sends every datagram back to its sender. Silent: reads and drops.
// Capture: records every datagram. All three record what arrives.
class UdpPeer : public Peer {
public:
    enum class Mode { Echo, Silent, Capture };
    explicit UdpPeer(Mode mode, bool ipv6 = false) : Peer(SOCK_DGRAM, ipv6), mode_(mode) { Start(); }
    ~UdpPeer() override { Stop(); }

private:
    void Step() override {
        if (!Readable(fd_, kStepMs)) return;
        std::vector<char> datagram(65536);
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd_, datagram.data(), datagram.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        Record(std::string(datagram.data(), static_cast<size_t>(n)));
        if (mode_ == Mode::Echo)
            sendto(fd_, datagram.data(), static_cast<size_t>(n), 0,
                   reinterpret_cast<sockaddr*>(&from), length);
    }

    Mode mode_;
};

}  // namespace peers
