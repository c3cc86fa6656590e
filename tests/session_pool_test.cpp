// The session threads: each connection gets a thread of its own, no more than the threads in turn
// wait in accept(), a thread that waits for its peer hands its turn over at once, a round of the
// owner's loop calls one more in when the threads in turn are held up, and the listener can be
// swapped under them.
#include "agent/session_pool.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/blocking_wait.h"

namespace {

using namespace std::chrono_literals;

// What the served connections report, and the gate that holds them. Never destroyed: pool threads
// may still be leaving a session while the test program exits.
struct State {
    std::mutex mutex;
    std::condition_variable changed;
    int served = 0;           // sessions begun, numbered from 1
    int releasedThrough = 0;  // sessions up to this number may end
};
State& state = *new State;
SessionPool* testPool = nullptr;

void WaitUntilReleased(int session) {
    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait(lock, [session] { return state.releasedThrough >= session; });
}

// Lets every session begun so far end.
void ReleaseAll() {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.releasedThrough = state.served;
    }
    state.changed.notify_all();
}

// Each connection says by its first byte what its session does until released: 'b' works, 'w'
// waits for its peer, 'x' waits for something outside the agent (a program, another host).
void Serve(int sock, const PeerAddress&) {
    char what = 0;
    ssize_t n = recv(sock, &what, 1, 0);
    int session;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        session = ++state.served;
    }
    state.changed.notify_all();
    if (n == 1 && what == 'w') {
        testPool->WaitsForPeer();
        WaitUntilReleased(session);
        testPool->GoesOn();
    } else if (n == 1 && what == 'x') {
        BlockingWait outside;
        WaitUntilReleased(session);
    } else {
        WaitUntilReleased(session);
    }
    close(sock);
}

int Listener(sockaddr_in& address) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(sock, 16), 0);
    EXPECT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length), 0);
    return sock;
}

int Client(const sockaddr_in& address, char what) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(send(sock, &what, 1, 0), 1);
    return sock;
}

// True once `count` connections have been served (within `wait`).
bool Served(int count, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(state.mutex);
    return state.changed.wait_for(lock, wait, [count] { return state.served >= count; });
}

TEST(SessionPool, ThreadsTakeTurnsAndNoPeerOrLongRequestHoldsTheListener) {
    testPool = new SessionPool(Serve, 1);  // threads use it for good: never destroyed
    SetBlockingWaitHooks([] { testPool->WaitsForPeer(); }, [] { testPool->GoesOn(); });
    SessionPool& pool = *testPool;
    sockaddr_in address;
    int listener = Listener(address);
    pool.ServeListener(listener);
    std::vector<int> clients;

    clients.push_back(Client(address, 'b'));
    ASSERT_TRUE(Served(1, 5s));
    // The one thread in turn is busy: the next connection waits...
    clients.push_back(Client(address, 'b'));
    EXPECT_FALSE(Served(2, 200ms));
    EXPECT_EQ(pool.Threads(), 1);
    // ...until a round of the owner's loop sees no connection taken since the last one.
    for (int round = 0; round < 3 && !Served(2, 0ms); round++) pool.Tend(1000ms);
    EXPECT_TRUE(Served(2, 5s));

    ReleaseAll();
    // Done, one thread goes back to accept() and the other parks.
    for (int i = 0; i < 250 && pool.Parked() < 1; i++) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(pool.Parked(), 1);
    EXPECT_EQ(pool.Threads(), 2);

    // A session waiting for its peer, or for a program, hands its turn over at once: the parked
    // thread, then a new one, take the next connections without any round of the owner's loop.
    clients.push_back(Client(address, 'w'));
    ASSERT_TRUE(Served(3, 5s));
    clients.push_back(Client(address, 'x'));
    ASSERT_TRUE(Served(4, 5s));
    EXPECT_EQ(pool.Parked(), 0);
    clients.push_back(Client(address, 'b'));
    EXPECT_TRUE(Served(5, 5s));
    EXPECT_EQ(pool.Threads(), 3);

    // A new listener takes over from the old one.
    EXPECT_EQ(pool.RetireListener(), listener);
    close(listener);
    sockaddr_in moved;
    int second = Listener(moved);
    pool.ServeListener(second);
    ReleaseAll();
    clients.push_back(Client(moved, 'b'));
    EXPECT_TRUE(Served(6, 5s));
    ReleaseAll();

    for (int sock : clients) close(sock);
    EXPECT_EQ(pool.RetireListener(), second);
    close(second);
    SetBlockingWaitHooks(nullptr, nullptr);
}

}  // namespace
