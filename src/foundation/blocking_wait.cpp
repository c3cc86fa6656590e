#include "foundation/blocking_wait.h"

#include <atomic>

namespace {

std::atomic<void (*)()> beginsHook{nullptr};
std::atomic<void (*)()> endsHook{nullptr};

}  // namespace

BlockingWait::BlockingWait() {
    if (void (*begins)() = beginsHook.load(std::memory_order_acquire)) begins();
}

BlockingWait::~BlockingWait() {
    if (void (*ends)() = endsHook.load(std::memory_order_acquire)) ends();
}

void SetBlockingWaitHooks(void (*begins)(), void (*ends)()) {
    endsHook.store(ends, std::memory_order_release);
    beginsHook.store(begins, std::memory_order_release);
}
