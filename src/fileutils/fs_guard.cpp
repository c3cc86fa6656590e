#include "fileutils/fs_guard.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "fileutils/mount_map.h"
#include "foundation/blocking_wait.h"

namespace {

// A refusal is told once a minute per file system.
constexpr long long kReportEveryMilliseconds = 60000;
// A wait for a turn among the calls in flight shorter than this keeps the session's turn.
constexpr long long kQuietWaitMilliseconds = 10;

thread_local long long requestStart = 0;
thread_local bool requestRefused = false;
thread_local TFsCall* innermostCall = nullptr;

long long Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// The process's one guard. Everything below is guarded by mutex_.
class TFsGuard {
public:
    static TFsGuard& Instance() {
        static TFsGuard* guard = new TFsGuard;  // never destroyed: stuck threads may outlive main
        return *guard;
    }

    void SetLimits(int stall, int stuck) {
        std::lock_guard<std::mutex> lock(mutex_);
        stall_ = stall > 0 ? stall : 1;
        stuck_ = stuck > 0 ? stuck : 1;
        for (auto& [fs, state] : states_) state.wake.notify_all();
    }

    int Stall() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stall_;
    }

    void SetReporter(void (*report)(const char*)) {
        std::lock_guard<std::mutex> lock(mutex_);
        report_ = report;
    }

    void SetFixedTable(const std::vector<TMountRecord>& records) {
        std::lock_guard<std::mutex> lock(mutex_);
        fixed_ = !records.empty();
        if (fixed_) Install(std::vector<TMountRecord>(records));
        lastCheck_ = -1;
        reread_ = true;
        if (!fixed_) map_.reset();
    }

    TFsTarget TargetOf(std::string_view path, bool* isMountPoint) {
        std::lock_guard<std::mutex> lock(mutex_);
        TFsTarget target;
        if (const TMountRecord* mount = Map().MountOf(path)) {
            target.fs = mount->fs;
            target.mountPoint = mount->point;
        }
        if (isMountPoint != nullptr) *isMountPoint = target.mountPoint == path;
        return target;
    }

    std::vector<TFsTarget> MountsBelow(std::string_view path, bool onlyEntries) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<TFsTarget> below;
        for (const TMountRecord* mount :
             onlyEntries ? Map().MountsIn(path) : Map().MountsBelow(path))
            below.push_back(TFsTarget{mount->fs, mount->point});
        return below;
    }

    bool Marked(uint64_t fs) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = states_.find(fs);
        return found != states_.end() && MarkedLocked(found->second, Now());
    }

    int InFlight(uint64_t fs) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = states_.find(fs);
        return found == states_.end() ? 0 : found->second.inFlight;
    }

    bool Enter(TFsCall& call);
    void Leave(TFsCall& call);

private:
    // What the guard knows of one file system.
    struct State {
        TFsCall* calls = nullptr;     // in flight on it
        TFsCall* borrowed = nullptr;  // in flight on another that turned out to reach this one
        int inFlight = 0;             // both lists together
        int waiters = 0;
        long long lastReport = -kReportEveryMilliseconds;
        std::condition_variable wake;  // a call left, or the limits changed
    };

    // The oldest progress among the calls in flight on `state`, or -1 when there are none.
    static long long OldestProgress(const State& state) {
        long long oldest = -1;
        auto consider = [&oldest](TFsCall* call) {
            long long at =
                std::atomic_ref<long long>(call->progress_).load(std::memory_order_relaxed);
            if (at != TFsCall::kPaused && (oldest < 0 || at < oldest)) oldest = at;
        };
        for (TFsCall* call = state.calls; call != nullptr; call = call->next_) consider(call);
        for (TFsCall* call = state.borrowed; call != nullptr; call = call->alsoNext_)
            consider(call);
        return oldest;
    }

    bool MarkedLocked(const State& state, long long now) const {
        long long oldest = OldestProgress(state);
        return oldest >= 0 && now - oldest >= stall_;
    }

    // The map of the table in force, read again when it may have changed and the last reading is
    // old enough.
    const TMountMap& Map() {
        long long now = Now();
        if (!fixed_ &&
            (map_ == nullptr || now - lastCheck_ >= TMountTableReader::RereadMilliseconds())) {
            lastCheck_ = now;
            std::vector<TMountRecord> records;
            if ((reread_ || reader_.Changed()) && reader_.Read(records) == 0) {
                reread_ = false;
                Install(std::move(records));
            }
        }
        if (map_ == nullptr) map_ = std::make_unique<TMountMap>();
        return *map_;
    }

    // Makes `records` the table in force, and counts every call in flight also on the file system
    // its path reaches now, when that is another: an automount point is replaced by the real
    // mount once it is first reached, so a stuck call is found on the new file system.
    void Install(std::vector<TMountRecord> records) {
        map_ = std::make_unique<TMountMap>(std::move(records));
        for (auto& [fs, state] : states_) {
            for (TFsCall* call = state.calls; call != nullptr; call = call->next_) {
                if (call->path_.empty()) continue;
                const TMountRecord* mount = map_->MountOf(call->path_);
                if (mount == nullptr || mount->fs == call->target_.fs) continue;
                if (call->hasAlso_ && call->also_ == mount->fs) continue;
                Unborrow(*call);
                Borrow(*call, mount->fs);
            }
        }
    }

    void Borrow(TFsCall& call, uint64_t fs) {
        State& state = states_[fs];
        call.also_ = fs;
        call.hasAlso_ = true;
        call.alsoPrev_ = nullptr;
        call.alsoNext_ = state.borrowed;
        if (state.borrowed != nullptr) state.borrowed->alsoPrev_ = &call;
        state.borrowed = &call;
        state.inFlight++;
    }

    void Unborrow(TFsCall& call) {
        if (!call.hasAlso_) return;
        State& state = states_[call.also_];
        if (call.alsoPrev_ != nullptr)
            call.alsoPrev_->alsoNext_ = call.alsoNext_;
        else
            state.borrowed = call.alsoNext_;
        if (call.alsoNext_ != nullptr) call.alsoNext_->alsoPrev_ = call.alsoPrev_;
        state.inFlight--;
        call.hasAlso_ = false;
        if (state.waiters > 0) state.wake.notify_all();
    }

    // When a waiter of this thread's request gives up.
    long long Deadline(long long now) const {
        long long start = requestStart > 0 ? requestStart : now;
        long long deadline = start + stall_;
        return deadline > now + kOutstandingMilliseconds ? deadline
                                                         : now + kOutstandingMilliseconds;
    }

    std::mutex mutex_;
    int stall_ = kDefaultFsStall;
    int stuck_ = kDefaultFsStuck;
    void (*report_)(const char*) = nullptr;
    std::unordered_map<uint64_t, State> states_;
    TMountTableReader reader_;
    std::unique_ptr<TMountMap> map_;
    long long lastCheck_ = -1;
    bool fixed_ = false;
    bool reread_ = true;  // read the table whether or not it tells of a change
};

bool TFsGuard::Enter(TFsCall& call) {
    std::unique_lock<std::mutex> lock(mutex_);
    Map();  // a change of the table is seen before the call goes in
    State& state = states_[call.target_.fs];
    std::optional<BlockingWait> waiting;  // the session's turn goes to another thread meanwhile
    long long deadline = -1;
    long long waitStart = -1;
    for (;;) {
        const long long now = Now();
        const long long oldest = OldestProgress(state);
        const bool marked = oldest >= 0 && now - oldest >= stall_;
        if (deadline < 0 && !marked) deadline = Deadline(now);
        if (!marked && (oldest < 0 || now - oldest < kOutstandingMilliseconds) &&
            state.inFlight < stuck_) {
            call.prev_ = nullptr;
            call.next_ = state.calls;
            if (state.calls != nullptr) state.calls->prev_ = &call;
            state.calls = &call;
            state.inFlight++;
            std::atomic_ref<long long>(call.progress_).store(now, std::memory_order_relaxed);
            call.entered_ = true;
            return true;
        }
        if (marked || now >= deadline) {
            requestRefused = true;
            void (*report)(const char*) = nullptr;
            if (report_ != nullptr && now - state.lastReport >= kReportEveryMilliseconds) {
                state.lastReport = now;
                report = report_;
            }
            lock.unlock();
            waiting.reset();
            if (report != nullptr) report(call.target_.mountPoint.c_str());
            errno = ETIMEDOUT;
            return false;
        }
        // Until a call leaves, the oldest call would mark the file system, or the deadline.
        long long wakeAt = deadline;
        if (oldest >= 0 && oldest + stall_ < wakeAt) wakeAt = oldest + stall_;
        // Behind calls that move on (a turn among fsstuck), the wait is short: the session keeps
        // its turn for the first moments, so that a busy healthy file system does not have the
        // session threads hand their turns around. Behind a call held up, it hands it over at once.
        const bool heldUp = oldest >= 0 && now - oldest >= kOutstandingMilliseconds;
        if (waitStart < 0) waitStart = now;
        if (!waiting && (heldUp || now - waitStart >= kQuietWaitMilliseconds)) waiting.emplace();
        if (!waiting && waitStart + kQuietWaitMilliseconds < wakeAt)
            wakeAt = waitStart + kQuietWaitMilliseconds;
        state.waiters++;
        state.wake.wait_for(lock, std::chrono::milliseconds(wakeAt - now));
        state.waiters--;
    }
}

void TFsGuard::Leave(TFsCall& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[call.target_.fs];
    if (call.prev_ != nullptr)
        call.prev_->next_ = call.next_;
    else
        state.calls = call.next_;
    if (call.next_ != nullptr) call.next_->prev_ = call.prev_;
    call.prev_ = call.next_ = nullptr;
    state.inFlight--;
    Unborrow(call);
    call.entered_ = false;
    if (state.waiters > 0) state.wake.notify_all();
}

// ---------------------------------------------------------------------------------------------

void SetFsGuardLimits(int stallMilliseconds, int stuckCalls) {
    TFsGuard::Instance().SetLimits(stallMilliseconds, stuckCalls);
}

int FsStallMilliseconds() {
    return TFsGuard::Instance().Stall();
}

void SetFsNotAnsweringReporter(void (*report)(const char*)) {
    TFsGuard::Instance().SetReporter(report);
}

TFsRequestScope::TFsRequestScope() : TFsRequestScope(Now()) {}

TFsRequestScope::TFsRequestScope(long long startMilliseconds) {
    requestStart = startMilliseconds > 0 ? startMilliseconds : Now();
    requestRefused = false;
}

TFsRequestScope::~TFsRequestScope() {
    requestStart = 0;
}

bool FsRequestRefused() {
    return requestRefused;
}

long long FsRequestStart() {
    return requestStart;
}

long long FsClockMilliseconds() {
    return Now();
}

TFsTarget FsTargetOf(std::string_view path, bool* isMountPoint) {
    return TFsGuard::Instance().TargetOf(path, isMountPoint);
}

std::vector<TFsTarget> FsMountsBelow(std::string_view path) {
    return TFsGuard::Instance().MountsBelow(path, false);
}

std::vector<TFsTarget> FsMountsIn(std::string_view path) {
    return TFsGuard::Instance().MountsBelow(path, true);
}

bool FsMarked(uint64_t fs) {
    return TFsGuard::Instance().Marked(fs);
}

int FsCallsInFlight(uint64_t fs) {
    return TFsGuard::Instance().InFlight(fs);
}

void SetMountRecordsForTesting(const std::vector<TMountRecord>& records) {
    TFsGuard::Instance().SetFixedTable(records);
}

bool TFsCall::Enter(const TFsTarget& target, std::string_view path) {
    Leave();
    target_ = target;
    path_.assign(path);
    // A call made inside another (an entry that is a mount point, examined while its folder is
    // read) holds the outer one up: the outer one waits on this one's file system, not its own.
    TFsCall* outer = innermostCall;
    if (outer != nullptr) outer->Pause();
    if (!TFsGuard::Instance().Enter(*this)) {
        if (outer != nullptr) outer->Progress();
        return false;
    }
    outer_ = outer;
    innermostCall = this;
    return true;
}

void TFsCall::Pause() {
    if (entered_) std::atomic_ref<long long>(progress_).store(kPaused, std::memory_order_relaxed);
}

bool TFsCall::EnterPath(const char* path, bool followLast) {
    Leave();
    std::string resolved;
    TFsTarget target;
    if (!ResolveFsPath(path, followLast, resolved, target)) return false;
    return Enter(target, resolved);
}

void TFsCall::Progress() {
    if (entered_) std::atomic_ref<long long>(progress_).store(Now(), std::memory_order_relaxed);
}

void TFsCall::Leave() {
    if (!entered_) return;
    int error = errno;
    TFsGuard::Instance().Leave(*this);
    if (innermostCall == this) innermostCall = outer_;
    if (outer_ != nullptr) outer_->Progress();
    outer_ = nullptr;
    errno = error;
}

void FsProgress() {
    if (innermostCall != nullptr) innermostCall->Progress();
}
