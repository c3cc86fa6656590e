#include "net/wait_budget.h"

#include <atomic>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long long> limitMs{static_cast<long long>(kMaxNetworkWaitSeconds) * 1000};

// The deadline of the calling thread's budget; only meaningful while hasBudget.
thread_local bool hasBudget = false;
thread_local Clock::time_point deadline{};

}  // namespace

NetworkWaitBudget::NetworkWaitBudget() : outermost_(!hasBudget) {
    if (!outermost_) return;
    deadline = Clock::now() + std::chrono::milliseconds(limitMs.load(std::memory_order_relaxed));
    hasBudget = true;
}

NetworkWaitBudget::~NetworkWaitBudget() {
    if (outermost_) hasBudget = false;
}

int CapToNetworkBudget(int wantedMs) {
    if (!hasBudget) return wantedMs;
    // Rounded up, so a wait never ends before the deadline and then finds it not yet reached.
    long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left < wantedMs ? static_cast<int>(left) : wantedMs;
}

bool NetworkBudgetSpent() {
    return hasBudget && Clock::now() >= deadline;
}

void SetNetworkWaitLimit(std::chrono::milliseconds limit) {
    limitMs.store(limit.count(), std::memory_order_relaxed);
}
