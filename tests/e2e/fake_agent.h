// A stand-in agent on 127.0.0.1 for what the real agent never sends: a reply that announces 4 GiB
// and streams, state values that are not numbers, a reply cut short. It opens requests with the
// project's own packet code and answers through a handler. Each connection is served on its own
// thread, every wait is a poll in short steps, and everything stops when the object goes.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/string.h"

class FakeAgent {
public:
    struct Request {
        std::string command;
        std::vector<std::string> params;
        String key;  // the session key the reply is encrypted under
        int fd = -1;
    };
    // Returns the reply text ("200\nvalue"; the LF and CR end marks are added), or handles the
    // socket itself (FakeAgent::Send, Packet) and returns nothing.
    using Handler =
        std::function<std::optional<std::string>(const Request& request,
                                                  const std::atomic<bool>& stopping)>;

    // Listens on `ports` ports of 127.0.0.1, answering requests under `password`.
    FakeAgent(std::string password, Handler handler, int ports = 1);
    ~FakeAgent();
    FakeAgent(const FakeAgent&) = delete;
    FakeAgent& operator=(const FakeAgent&) = delete;

    int port(size_t i = 0) const { return ports_[i]; }
    // Commands received so far, in order.
    std::vector<std::string> Commands();

    // The reply packet for `text` under `key`, as an agent finalises it.
    static std::string Packet(const std::string& text, const String& key);
    // Sends all of `bytes`, waiting in short steps; false when the peer is gone.
    static bool Send(int fd, const std::string& bytes, const std::atomic<bool>& stopping);

private:
    void Serve();
    void Answer(int fd);

    std::string password_;
    Handler handler_;
    std::vector<int> listeners_;
    std::vector<int> ports_;
    std::atomic<bool> stopping_{false};
    std::thread server_;
    std::mutex mutex_;
    std::vector<std::thread> connections_;
    std::vector<std::string> commands_;
};
