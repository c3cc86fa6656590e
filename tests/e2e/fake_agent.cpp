#include "fake_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

constexpr int kStepMs = 20;

}  // namespace

FakeAgent::FakeAgent(std::string password, Handler handler, int ports)
    : password_(std::move(password)), handler_(std::move(handler)) {
    for (int i = 0; i < ports; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 64);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        listeners_.push_back(fd);
        ports_.push_back(ntohs(address.sin_port));
    }
    server_ = std::thread(&FakeAgent::Serve, this);
}

FakeAgent::~FakeAgent() {
    stopping_ = true;
    server_.join();
    for (std::thread& connection : connections_) connection.join();
    for (int fd : listeners_) close(fd);
}

std::vector<std::string> FakeAgent::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::string FakeAgent::Packet(const std::string& text, const String& key) {
    QDXReply reply;
    reply.InitPacket(nullptr, key);
    reply = String(text.data(), static_cast<int>(text.size()));
    reply.FinalizePacket();
    return std::string(reply.Text().Data(), static_cast<size_t>(reply.Text().Length()));
}

bool FakeAgent::Send(int fd, const std::string& bytes, const std::atomic<bool>& stopping) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (stopping) return false;
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, kStepMs) <= 0) continue;
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void FakeAgent::Serve() {
    std::vector<pollfd> fds;
    for (int fd : listeners_) fds.push_back({fd, POLLIN, 0});
    while (!stopping_) {
        if (poll(fds.data(), fds.size(), kStepMs) <= 0) continue;
        for (const pollfd& entry : fds) {
            if ((entry.revents & POLLIN) == 0) continue;
            int fd = accept4(entry.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.emplace_back(&FakeAgent::Answer, this, fd);
        }
    }
}

void FakeAgent::Answer(int fd) {
    ZPRequest request;
    char block[65536];
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!request.WholePacket() && !stopping_ && std::chrono::steady_clock::now() < until) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, kStepMs) <= 0) continue;
        ssize_t n = recv(fd, block, sizeof block, 0);
        if (n <= 0) break;
        request.Append(block, static_cast<int>(n));
    }
    in_addr peer{};
    peer.s_addr = htonl(INADDR_LOOPBACK);
    if (request.WholePacket() &&
        request.ParseInitRequest(String(password_.data(), static_cast<int>(password_.size())),
                                 peer)) {
        const String& text = request.Text();
        std::string plain(text.Data(), static_cast<size_t>(text.Length()));
        Request call;
        call.key = request.GetSessionKey();
        call.fd = fd;
        size_t start = 0;
        for (size_t end; (end = plain.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = plain.substr(start, end - start);
            if (call.command.empty() && start == 0)
                call.command = line;
            else
                call.params.push_back(line);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(call.command);
        }
        std::optional<std::string> reply = handler_(call, stopping_);
        if (reply) Send(fd, Packet(*reply, call.key), stopping_);
    }
    close(fd);
}
