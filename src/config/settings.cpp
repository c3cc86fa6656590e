#include "config/settings.h"

namespace {

std::mutex optmutex;
// Guards only the hand-over of the snapshot pointer, never any work on the settings.
std::mutex snapshotMutex;
std::atomic<bool> detailOn{false};
std::atomic<unsigned> sinks{0};
std::atomic<void (*)(const TQDXSettings&)> publishedHook{nullptr};

unsigned SinksOf(const TQDXSettings& s) {
    return (s.interactive ? kSinkConsole : 0u) | (s.verbose ? kSinkVerbose : 0u) |
           (s.logsuccess ? kSinkOkLog : 0u) | (s.logfails ? kSinkFailLog : 0u) |
           (s.logsyslog ? kSinkSyslog : 0u);
}

SettingsSnapshot& Slot() {
    // Never destroyed: detached session threads may still take a snapshot while the process exits.
    static SettingsSnapshot* slot = new SettingsSnapshot(std::make_shared<const TQDXSettings>());
    return *slot;
}

}  // namespace

SettingsSnapshot CurrentSettings() {
    SettingsSnapshot& slot = Slot();
    std::lock_guard<std::mutex> lock(snapshotMutex);
    return slot;
}

void PublishSettings(const TQDXSettings& next) {
    SettingsSnapshot fresh = std::make_shared<const TQDXSettings>(next);
    SettingsSnapshot& slot = Slot();
    {
        std::lock_guard<std::mutex> lock(snapshotMutex);
        slot.swap(fresh);
        detailOn.store(next.verbosedetail != 0, std::memory_order_relaxed);
        sinks.store(SinksOf(next), std::memory_order_relaxed);
    }
    // `fresh` now holds the previous snapshot; its last owner frees it outside the lock.
    if (auto hook = publishedHook.load()) hook(next);
}

void SetSettingsPublishedHook(void (*hook)(const TQDXSettings& published)) {
    publishedHook.store(hook);
}

std::unique_lock<std::mutex> LockOptions() {
    return std::unique_lock<std::mutex>(optmutex);
}

bool VerboseDetailOn() {
    return detailOn.load(std::memory_order_relaxed);
}

unsigned MessageSinks() {
    return sinks.load(std::memory_order_relaxed);
}

TAgentStatus AgentStatus;

const char* const BoolConst[2] = {"0", "1"};
