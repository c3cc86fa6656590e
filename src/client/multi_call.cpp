#include "client/multi_call.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kMaxReply = 16LL * 1024 * 1024 + 4;
constexpr int kResolverThreads = 8;

struct Address {
    bool ok = false;
    in_addr ip{};
    std::string error;
};

// Addresses of every distinct host: numeric ones at once, names on a few threads.
std::map<std::string, Address> ResolveAll(const std::vector<CallTarget>& targets) {
    std::map<std::string, Address> addresses;
    std::vector<std::string> names;
    for (const CallTarget& target : targets) {
        if (addresses.count(target.host)) continue;
        Address& address = addresses[target.host];
        if (inet_pton(AF_INET, target.host.c_str(), &address.ip) == 1)
            address.ok = true;
        else
            names.push_back(target.host);
    }
    std::atomic<size_t> next{0};
    auto resolver = [&] {
        for (size_t i; (i = next.fetch_add(1)) < names.size();) {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            int rc = getaddrinfo(names[i].c_str(), nullptr, &hints, &list);
            // Each thread writes only the entry of its own name; the map's shape is fixed.
            Address& address = addresses.at(names[i]);
            if (rc != 0 || list == nullptr) {
                address.error = rc != 0 ? gai_strerror(rc) : "no address";
            } else {
                address.ok = true;
                address.ip = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
            }
            if (list != nullptr) freeaddrinfo(list);
        }
    };
    std::vector<std::thread> threads;
    size_t count = std::min<size_t>(kResolverThreads, names.size());
    for (size_t t = 0; t < count; t++) threads.emplace_back(resolver);
    for (std::thread& t : threads) t.join();
    return addresses;
}

struct Slot {
    int fd = -1;
    size_t index = 0;
    bool connecting = true;
    String packet;
    size_t sent = 0;
    String key;
    std::string received;
    Clock::time_point deadline;
};

QdxReplyText Failed(NoReplyReason reason, CallStatus status, const std::string& error) {
    QdxReplyText reply;
    reply.status = status;
    reply.reason = reason;
    reply.error = error;
    return reply;
}

class Caller {
public:
    Caller(const std::vector<CallTarget>& targets, const String& requestText,
           const MultiCallOptions& options,
           const std::function<void(size_t, QdxReplyText)>& done)
        : targets_(targets), request_(requestText), options_(options), done_(done) {}

    void Run() {
        addresses_ = ResolveAll(targets_);
        size_t parallel = static_cast<size_t>(std::max(1, options_.parallel));
        while (!Stopped() && (next_ < targets_.size() || !slots_.empty())) {
            while (slots_.size() < parallel && next_ < targets_.size() &&
                   (!options_.mayStart || options_.mayStart(next_)))
                Start(next_++);
            if (!slots_.empty()) Wait();
        }
        for (Slot& slot : slots_) {
            close(slot.fd);
            done_(slot.index, Failed(NoReplyReason::Interrupted, CallStatus::NoReply,
                                     "interrupted before the reply"));
        }
        slots_.clear();
    }

private:
    bool Stopped() const { return options_.stop != nullptr && *options_.stop != 0; }

    void Start(size_t index) {
        const CallTarget& target = targets_[index];
        const Address& address = addresses_.at(target.host);
        if (!address.ok) {
            done_(index, Failed(NoReplyReason::Unresolved, CallStatus::NoConnection,
                                address.error));
            return;
        }
        Slot slot;
        slot.index = index;
        slot.key = NewSessionKey();
        if (slot.key.Length() == 0) {
            done_(index, Failed(NoReplyReason::NoSessionKey, CallStatus::NoSessionKey,
                                "no random bytes for a session key"));
            return;
        }
        String password(options_.password.data(), static_cast<int>(options_.password.size()));
        slot.packet = BuildRequestPacket(password, slot.key, request_);
        slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (slot.fd < 0) {
            done_(index, Failed(NoReplyReason::ConnectFailed, CallStatus::NoConnection,
                                std::strerror(errno)));
            return;
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<uint16_t>(target.port));
        peer.sin_addr = address.ip;
        slot.deadline = Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
        if (connect(slot.fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 &&
            errno != EINPROGRESS) {
            int error = errno;
            close(slot.fd);
            done_(index, Failed(ConnectFailure(error), CallStatus::NoConnection,
                                std::strerror(error)));
            return;
        }
        slots_.push_back(std::move(slot));
    }

    void Wait() {
        std::vector<pollfd> fds;
        Clock::time_point first = slots_.front().deadline;
        for (const Slot& slot : slots_) {
            bool writing = slot.connecting || slot.sent < static_cast<size_t>(slot.packet.Length());
            fds.push_back({slot.fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0});
            first = std::min(first, slot.deadline);
        }
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(first - Clock::now());
        if (left.count() < 0) left = std::chrono::nanoseconds(0);
        timespec wait{static_cast<time_t>(left.count() / 1000000000),
                      static_cast<long>(left.count() % 1000000000)};
        int ready = ppoll(fds.data(), fds.size(), &wait, options_.waitMask);
        if (ready < 0 && errno != EINTR) return;
        Clock::time_point now = Clock::now();
        std::vector<Slot> open;
        for (size_t i = 0; i < slots_.size(); i++) {
            Slot& slot = slots_[i];
            bool finished = ready > 0 && fds[i].revents != 0 ? Step(slot) : false;
            if (!finished && now >= slot.deadline) {
                close(slot.fd);
                NoReplyReason reason =
                    slot.connecting ? NoReplyReason::ConnectTimeout : NoReplyReason::Timeout;
                done_(slot.index,
                      Failed(reason,
                             slot.connecting ? CallStatus::NoConnection : CallStatus::NoReply,
                             slot.connecting ? "no answer to the connection attempt"
                                             : NoReplyText(NoReplyReason::Timeout)));
                finished = true;
            }
            if (!finished) open.push_back(std::move(slot));
        }
        slots_.swap(open);
    }

    // Moves one connection on; true when it is done (and reported).
    bool Step(Slot& slot) {
        if (slot.connecting) {
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            if (error != 0) return Finish(slot, Failed(ConnectFailure(error),
                                                       CallStatus::NoConnection,
                                                       std::strerror(error)));
            slot.connecting = false;
        }
        size_t total = static_cast<size_t>(slot.packet.Length());
        if (slot.sent < total) {
            ssize_t n = send(slot.fd, slot.packet.Data() + slot.sent, total - slot.sent,
                             MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
            if (n <= 0)
                return Finish(slot, Failed(NoReplyReason::SendFailed, CallStatus::NoReply,
                                           NoReplyText(NoReplyReason::SendFailed)));
            slot.sent += static_cast<size_t>(n);
            return false;
        }
        char block[16384];
        ssize_t n = recv(slot.fd, block, sizeof block, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
        if (n > 0) {
            slot.received.append(block, static_cast<size_t>(n));
            if (static_cast<long long>(slot.received.size()) <= kMaxReply) return false;
            return Finish(slot, Failed(NoReplyReason::BadReply, CallStatus::BadReply,
                                       "the reply is larger than 16 MiB"));
        }
        // The agent closed (or reset after its reply): open what arrived.
        if (slot.received.empty())
            return Finish(slot, Failed(NoReplyReason::Closed, CallStatus::NoReply,
                                       NoReplyText(NoReplyReason::Closed)));
        String text;
        String packet(slot.received.data(), static_cast<int>(slot.received.size()));
        if (!OpenReplyPacket(packet, slot.key, text))
            return Finish(slot,
                          Failed(NoReplyReason::BadReply, CallStatus::BadReply,
                                 "the reply's length field does not match the data received"));
        QdxReplyText reply;
        reply.status = CallStatus::Ok;
        reply.text.assign(text.Data() ? text.Data() : "", static_cast<size_t>(text.Length()));
        return Finish(slot, reply);
    }

    bool Finish(Slot& slot, QdxReplyText reply) {
        close(slot.fd);
        done_(slot.index, std::move(reply));
        return true;
    }

    const std::vector<CallTarget>& targets_;
    const String& request_;
    const MultiCallOptions& options_;
    const std::function<void(size_t, QdxReplyText)>& done_;
    std::map<std::string, Address> addresses_;
    std::vector<Slot> slots_;
    size_t next_ = 0;
};

}  // namespace

void RunMultiCall(const std::vector<CallTarget>& targets, const String& requestText,
                  const MultiCallOptions& options,
                  const std::function<void(size_t index, QdxReplyText reply)>& done) {
    Caller(targets, requestText, options, done).Run();
}
