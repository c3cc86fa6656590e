// The bound on how long one request may wait for other hosts in all: connecting, sending,
// receiving and pausing, over every attempt. TEST-TCP's time-out, TEST-UDP's attempts and
// ACT-TCPUDPsend's pause may each ask for far more (up to INT_MAX milliseconds or seconds); none
// holds its session longer than the bound, and a wait cut short by it ends as a time-out.
#pragma once

#include <chrono>

// One hour.
constexpr int kMaxNetworkWaitSeconds = 3600;

// The network wait of the request the calling thread works on: while it lives, every wait of the
// outbound exchanges on this thread (net/socket_io.h) ends by its deadline at the latest. A
// budget made while another lives on the same thread changes nothing.
class NetworkWaitBudget {
public:
    NetworkWaitBudget();
    ~NetworkWaitBudget();
    NetworkWaitBudget(const NetworkWaitBudget&) = delete;
    NetworkWaitBudget& operator=(const NetworkWaitBudget&) = delete;

private:
    bool outermost_;
};

// How long a wait that wants `wantedMs` (0 or more) may take on this thread: wantedMs, or what
// is left of the thread's budget when that is less (0 once it is spent). Without a budget,
// wantedMs.
int CapToNetworkBudget(int wantedMs);

// True when the calling thread has a budget and nothing of it is left.
bool NetworkBudgetSpent();

// The length of the budgets made from now on: kMaxNetworkWaitSeconds unless a test shortens it.
void SetNetworkWaitLimit(std::chrono::milliseconds limit);
