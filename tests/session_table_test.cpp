// The session bounds: which session is closed to make room or to keep partial requests within
// their memory bound, that closed sessions are counted out exactly once, and the order in which
// sessions get their reading turns.
#include "agent/session_table.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A session whose socket is one end of a pair: the other end shows whether the table shut it down.
struct Peer {
    Peer() {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        remote = ends[1];
        entry = std::make_unique<SessionEntry>(ends[0]);
    }
    ~Peer() {
        close(entry->sock);
        close(remote);
    }
    bool ShutDown() const {
        pollfd hangup{remote, POLLIN, 0};
        char byte;
        return poll(&hangup, 1, 0) > 0 && recv(remote, &byte, 1, MSG_DONTWAIT) == 0;
    }
    int remote;
    std::unique_ptr<SessionEntry> entry;
};

TEST(SessionTable, FullTableClosesTheLongestWaitingAndRefusesWhenAllWork) {
    SessionTable table(1 << 20, 1);
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 5; i++) peers.push_back(std::make_unique<Peer>());
    int closed = -1;
    for (int i = 0; i < 3; i++) ASSERT_TRUE(table.Admit(*peers[i]->entry, 3, closed));
    EXPECT_EQ(closed, 0);
    ASSERT_TRUE(table.StartWorking(*peers[0]->entry));  // the oldest is at work: it stays

    ASSERT_TRUE(table.Admit(*peers[3]->entry, 3, closed));
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(peers[0]->ShutDown());
    EXPECT_TRUE(peers[1]->ShutDown()) << "the longest-waiting session made room";
    EXPECT_FALSE(peers[2]->ShutDown());
    EXPECT_EQ(table.Running(), 3);

    // A closed session learns it when its request is complete, and is not counted out twice.
    EXPECT_FALSE(table.StartWorking(*peers[1]->entry));
    table.Leave(*peers[1]->entry);
    EXPECT_EQ(table.Running(), 3);

    ASSERT_TRUE(table.StartWorking(*peers[2]->entry));
    ASSERT_TRUE(table.StartWorking(*peers[3]->entry));
    EXPECT_FALSE(table.Admit(*peers[4]->entry, 3, closed)) << "every session is at work";
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(table.Running(), 3);

    for (int i : {0, 2, 3}) table.Leave(*peers[i]->entry);
    EXPECT_EQ(table.Running(), 0);
    // A lower limit than the sessions running closes as many waiting ones as it takes.
    for (int i = 0; i < 3; i++) ASSERT_TRUE(table.Admit(*peers[i]->entry, 3, closed));
    ASSERT_TRUE(table.Admit(*peers[3]->entry, 2, closed));
    EXPECT_EQ(closed, 2);
    EXPECT_EQ(table.Running(), 2);
}

TEST(SessionTable, PartialRequestsAboveTheBoundCloseTheOldestHoldingBytes) {
    SessionTable table(100, 1);
    Peer silent, oldest, middle, newest;
    int closed = -1;
    for (Peer* p : {&silent, &oldest, &middle, &newest})
        ASSERT_TRUE(table.Admit(*p->entry, 9, closed));
    EXPECT_TRUE(table.Buffer(*oldest.entry, 40, closed));
    EXPECT_TRUE(table.Buffer(*middle.entry, 40, closed));
    EXPECT_EQ(table.BufferedBytes(), 80u);

    EXPECT_TRUE(table.Buffer(*newest.entry, 30, closed));
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(oldest.ShutDown());
    EXPECT_FALSE(silent.ShutDown()) << "a session that holds no bytes pins no memory";
    EXPECT_EQ(table.BufferedBytes(), 70u);

    // A complete request no longer counts as partial.
    ASSERT_TRUE(table.StartWorking(*middle.entry));
    EXPECT_EQ(table.BufferedBytes(), 30u);

    // The session that grows past the bound is itself the oldest holding bytes: it ends.
    EXPECT_FALSE(table.Buffer(*newest.entry, 101, closed));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(table.BufferedBytes(), 0u);
    EXPECT_EQ(table.Running(), 2);
    for (Peer* p : {&silent, &oldest, &middle, &newest}) table.Leave(*p->entry);
    EXPECT_EQ(table.Running(), 0);
}

// One turn at a time, given in the order asked for; a session closed while it waits for a turn
// leaves the queue at once, and a session that ends holding a turn passes it on.
TEST(SessionTable, ReadingTurnsGoInOrderAndClosedSessionsLeaveTheQueue) {
    SessionTable table(1 << 20, 1);
    Peer closedWhileQueued, first, second, third, newcomer;
    int closed = -1;
    for (Peer* p : {&closedWhileQueued, &first, &second, &third})
        ASSERT_TRUE(table.Admit(*p->entry, 9, closed));
    ASSERT_TRUE(table.TakeReadingTurn(*first.entry));

    // Each waiter is queued before the next one asks, so the queue order is known.
    auto queue = [&table](Peer& peer, bool& got, int queuedBefore) {
        std::thread waiter([&table, &peer, &got] { got = table.TakeReadingTurn(*peer.entry); });
        while (table.QueuedForTurn() == queuedBefore)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return waiter;
    };
    bool secondGot = false, victimGot = true, thirdGot = false;
    std::thread secondWaits = queue(second, secondGot, 0);
    std::thread victimWaits = queue(closedWhileQueued, victimGot, 1);
    std::thread thirdWaits = queue(third, thirdGot, 2);

    // The oldest waiting session makes room for a newcomer: it is closed in the queue.
    ASSERT_TRUE(table.Admit(*newcomer.entry, 4, closed));
    EXPECT_EQ(closed, 1);
    victimWaits.join();
    EXPECT_FALSE(victimGot);
    EXPECT_TRUE(closedWhileQueued.ShutDown());
    EXPECT_EQ(table.QueuedForTurn(), 2);

    table.GiveBackTurn(*first.entry);
    secondWaits.join();
    EXPECT_TRUE(secondGot);
    EXPECT_EQ(table.QueuedForTurn(), 1) << "the third waits while the second reads";

    table.Leave(*second.entry);  // ends holding its turn
    thirdWaits.join();
    EXPECT_TRUE(thirdGot);
    table.GiveBackTurn(*third.entry);
    // The turn is free again: taken at once.
    EXPECT_TRUE(table.TakeReadingTurn(*newcomer.entry));
    table.GiveBackTurn(*newcomer.entry);
    for (Peer* p : {&closedWhileQueued, &first, &third, &newcomer}) table.Leave(*p->entry);
    EXPECT_EQ(table.Running(), 0);
}

}  // namespace
