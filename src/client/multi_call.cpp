#include "client/multi_call.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kResolverThreads = 8;

struct Address {
    bool ok = false;
    sockaddr_storage ip{};  // port not yet set
    socklen_t length = 0;
    std::string error;
};

// The first address of `host` (a literal of either family, or a name when `numeric` is false).
bool ReadAddress(const std::string& host, bool numeric, Address& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numeric ? AI_NUMERICHOST : 0;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc == 0 && list != nullptr && list->ai_addrlen <= sizeof address.ip) {
        std::memcpy(&address.ip, list->ai_addr, list->ai_addrlen);
        address.length = list->ai_addrlen;
        address.ok = true;
    } else if (!numeric) {
        address.error = rc != 0 ? gai_strerror(rc) : "no address";
    }
    if (list != nullptr) freeaddrinfo(list);
    return address.ok;
}

// Addresses of every distinct host: numeric ones at once, names on a few threads.
std::map<std::string, Address> ResolveAll(const std::vector<CallTarget>& targets) {
    std::map<std::string, Address> addresses;
    std::vector<std::string> names;
    for (const CallTarget& target : targets) {
        if (addresses.count(target.host)) continue;
        Address& address = addresses[target.host];
        if (!ReadAddress(target.host, true, address)) names.push_back(target.host);
    }
    std::atomic<size_t> next{0};
    auto resolver = [&] {
        for (size_t i; (i = next.fetch_add(1)) < names.size();) {
            // Each thread writes only the entry of its own name; the map's shape is fixed.
            ReadAddress(names[i], false, addresses.at(names[i]));
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
    std::unique_ptr<TlsStream> tls;  // over TLS, made once connected
    bool handshaking = false;
    String packet;
    size_t sent = 0;
    String key;
    ReplyBuffer reply;
    long long charged = 0;  // bytes of the budget this reply holds
    bool waiting = false;   // for room in the budget, since waitingSince
    Clock::time_point waitingSince;
    Clock::time_point deadline;
};

enum class Started { Yes, Reported, NoDescriptor };

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
                   (!options_.mayStart || options_.mayStart(next_))) {
                Started started = Start(next_);
                if (started == Started::NoDescriptor && !slots_.empty()) {
                    // Wait for an open connection to end; fewer at once from now on.
                    parallel = slots_.size();
                    break;
                }
                next_++;
            }
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

    Started Start(size_t index) {
        const CallTarget& target = targets_[index];
        const Address& address = addresses_.at(target.host);
        if (!address.ok) {
            done_(index, Failed(NoReplyReason::Unresolved, CallStatus::NoConnection,
                                address.error));
            return Started::Reported;
        }
        Slot slot;
        slot.index = index;
        slot.fd = socket(address.ip.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (slot.fd < 0) {
            int error = errno;
            if ((error == EMFILE || error == ENFILE) && !slots_.empty())
                return Started::NoDescriptor;
            done_(index, Failed(NoReplyReason::ConnectFailed, CallStatus::NoConnection,
                                std::string("no socket: ") + std::strerror(error)));
            return Started::Reported;
        }
        slot.key = NewSessionKey();
        if (slot.key.Length() == 0) {
            close(slot.fd);
            done_(index, Failed(NoReplyReason::NoSessionKey, CallStatus::NoSessionKey,
                                "no random bytes for a session key"));
            return Started::Reported;
        }
        String password(options_.password.data(), static_cast<int>(options_.password.size()));
        slot.packet = BuildRequestPacket(password, slot.key, request_);
        sockaddr_storage peer = address.ip;
        const auto port = htons(static_cast<uint16_t>(target.port));
        if (peer.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = port;
        else
            reinterpret_cast<sockaddr_in*>(&peer)->sin_port = port;
        slot.deadline = Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
        if (connect(slot.fd, reinterpret_cast<sockaddr*>(&peer), address.length) != 0 &&
            errno != EINPROGRESS) {
            int error = errno;
            close(slot.fd);
            done_(index, Failed(ConnectFailure(error), CallStatus::NoConnection,
                                std::strerror(error)));
            return Started::Reported;
        }
        slots_.push_back(std::move(slot));
        return Started::Yes;
    }

    // Charges a reply whose length is known to the budget; false (the slot waits) when it does
    // not fit beside the replies being read. With none being read it always proceeds, so that
    // what the caller holds for the first unfinished host never blocks that host.
    bool Charge(Slot& slot, Clock::time_point now) {
        if (slot.charged > 0 || !slot.reply.HeaderKnown()) return true;
        long long size = static_cast<long long>(slot.reply.Announced());
        long long reading = 0;
        for (const Slot& other : slots_) reading += other.charged;
        long long held = reading + (options_.heldByCaller ? options_.heldByCaller() : 0);
        if (reading > 0 && held + size > options_.memoryBudget) {
            if (!slot.waiting) slot.waitingSince = now;
            slot.waiting = true;
            return false;
        }
        if (slot.waiting) slot.deadline += now - slot.waitingSince;  // waiting was not the host's
        slot.waiting = false;
        slot.charged = size;
        return true;
    }

    void Wait() {
        std::vector<pollfd> fds;
        std::vector<char> pending;  // decrypted bytes wait in the slot's TLS stream
        Clock::time_point first = Clock::time_point::max();
        Clock::time_point now = Clock::now();
        for (Slot& slot : slots_) {
            bool writing = slot.connecting || slot.handshaking ||
                           slot.sent < static_cast<size_t>(slot.packet.Length());
            bool reading = !writing && Charge(slot, now);
            // A TLS stream says what it waits for, whichever way the bytes go.
            short events = slot.connecting        ? POLLOUT
                           : !writing && !reading ? 0
                           : slot.tls != nullptr  ? slot.tls->Wants()
                           : writing              ? POLLOUT
                                                  : POLLIN;
            fds.push_back({events != 0 ? slot.fd : -1, events, 0});
            pending.push_back(reading && slot.tls != nullptr && slot.tls->Pending());
            if (!slot.waiting) first = std::min(first, slot.deadline);
            if (pending.back()) first = now;
        }
        if (first == Clock::time_point::max()) first = now + std::chrono::milliseconds(100);
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(first - Clock::now());
        if (left.count() < 0) left = std::chrono::nanoseconds(0);
        timespec wait{static_cast<time_t>(left.count() / 1000000000),
                      static_cast<long>(left.count() % 1000000000)};
        int ready = ppoll(fds.data(), fds.size(), &wait, options_.waitMask);
        if (ready < 0 && errno != EINTR) return;
        now = Clock::now();
        std::vector<Slot> open;
        for (size_t i = 0; i < slots_.size(); i++) {
            Slot& slot = slots_[i];
            bool finished = (ready > 0 && fds[i].revents != 0) || pending[i] ? Step(slot) : false;
            if (!finished && !slot.waiting && now >= slot.deadline) {
                close(slot.fd);
                bool connecting = slot.connecting || slot.handshaking;
                NoReplyReason reason = slot.connecting    ? NoReplyReason::ConnectTimeout
                                       : slot.handshaking ? NoReplyReason::ConnectFailed
                                                          : NoReplyReason::Timeout;
                std::string why = slot.connecting    ? "no answer to the connection attempt"
                                  : slot.handshaking ? "TLS: no TLS handshake within the time-out"
                                  : slot.reply.Received() > 0
                                      ? "no whole reply within the time-out (" +
                                            std::to_string(slot.reply.Received()) +
                                            " bytes received)"
                                      : NoReplyText(NoReplyReason::Timeout);
                done_(slot.index,
                      Failed(reason, connecting ? CallStatus::NoConnection : CallStatus::NoReply,
                             why));
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
            if (options_.tls != nullptr) {
                slot.tls = std::make_unique<TlsStream>(options_.tls, slot.fd, false,
                                                       targets_[slot.index].host);
                slot.handshaking = true;
            }
        }
        if (slot.handshaking) {
            String why;
            int done = slot.tls->Handshake(why);
            if (done == 0) return false;
            if (done < 0)
                return Finish(slot, Failed(NoReplyReason::ConnectFailed, CallStatus::NoConnection,
                                           TlsFailure(why)));
            slot.handshaking = false;
        }
        size_t total = static_cast<size_t>(slot.packet.Length());
        if (slot.sent < total) {
            const char* rest = slot.packet.Data() + slot.sent;
            ssize_t n = slot.tls != nullptr ? slot.tls->Write(rest, total - slot.sent)
                                            : send(slot.fd, rest, total - slot.sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
            if (n <= 0)
                return Finish(slot, Failed(NoReplyReason::SendFailed, CallStatus::NoReply,
                                           NoReplyText(NoReplyReason::SendFailed)));
            slot.sent += static_cast<size_t>(n);
            // Once sent, the reply is read at once: a TLS stream then says what it waits for.
            if (slot.sent < total) return false;
        }
        // Until the length is known, read no further than the length field, so that a reply
        // is charged to the budget before its bytes are held.
        char block[65536];
        size_t want = slot.reply.HeaderKnown() ? sizeof block : 4 - slot.reply.Received();
        ssize_t n =
            slot.tls != nullptr ? slot.tls->Read(block, want) : recv(slot.fd, block, want, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
        if (n > 0) {
            if (!slot.reply.Add(block, static_cast<size_t>(n)))
                return Finish(slot, Failed(NoReplyReason::BadReply, CallStatus::BadReply,
                                           slot.reply.Refusal()));
            if (!slot.reply.Complete()) return false;
            QdxReplyText reply;
            reply.status = CallStatus::Ok;
            slot.reply.Open(slot.key, reply.text);
            return Finish(slot, std::move(reply));
        }
        if (slot.reply.Received() == 0)
            return Finish(slot, Failed(NoReplyReason::Closed, CallStatus::NoReply,
                                       NoReplyText(NoReplyReason::Closed)));
        return Finish(slot, Failed(NoReplyReason::BadReply, CallStatus::BadReply,
                                   "the connection closed after " +
                                       std::to_string(slot.reply.Received()) +
                                       " bytes of a reply of " +
                                       std::to_string(slot.reply.Announced())));
    }

    bool Finish(Slot& slot, QdxReplyText reply) {
        if (slot.tls != nullptr) slot.tls->Close();
        close(slot.fd);
        slot.charged = 0;
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

int DescriptorRoom(int reserve) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return 1 << 20;
    long long room = static_cast<long long>(files.rlim_cur) - reserve;
    return room < 1 ? 1 : room > (1 << 20) ? 1 << 20 : static_cast<int>(room);
}

void RunMultiCall(const std::vector<CallTarget>& targets, const String& requestText,
                  const MultiCallOptions& options,
                  const std::function<void(size_t index, QdxReplyText reply)>& done) {
    Caller(targets, requestText, options, done).Run();
}
