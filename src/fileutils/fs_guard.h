// Keeps a file system that stops answering (a dead NFS server, a hung FUSE daemon) from taking the
// agent with it. No system call on such a file system can be interrupted, so a request that
// entered one cannot be cancelled; the guard keeps such requests from multiplying instead.
//
// Every call that reaches a file system is made inside a TFsCall on it. The guard knows which file
// system a path reaches from the mount table alone (mount_map.h), and counts the calls in flight
// on each file system (a file system, not a mount point: bind mounts of it share the count):
//
// - A call that has shown no progress for `fsstall` milliseconds marks its file system as not
//   answering. While it is marked, every new call on it is refused at once; the mark goes when
//   that call returns.
// - Once a call has shown no progress for kOutstandingMilliseconds, new calls on its file system
//   do not enter: they wait (outside the kernel) until it returns, or until `fsstall` has passed
//   since their request began, and are then refused.
// - At most `fsstuck` calls are in flight on one file system; more wait for their turn the same
// way.
//
// A refused call fails with ETIMEDOUT as if the system had answered so. Waits never spin: a waiter
// sleeps on a condition variable until a call leaves or the next deadline comes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mount_table.h"

constexpr int kDefaultFsStall = 5000;
constexpr int kDefaultFsStuck = 4;
constexpr int kOutstandingMilliseconds = 200;
// Links followed while finding the file system of one path; more end the search as the system
// would (ELOOP), leaving the rest of the path as it is written.
constexpr int kMaxFsLinks = 40;

// Sets `fsstall` (milliseconds, 1 or more) and `fsstuck` (1 or more) for the calls entering from
// now on.
void SetFsGuardLimits(int stallMilliseconds, int stuckCalls);
// The `fsstall` in force, in milliseconds.
int FsStallMilliseconds();
// Installs what is told, at most once a minute per file system, that a call was refused because
// the file system mounted on `mountPoint` does not answer. Called outside the guard's lock.
void SetFsNotAnsweringReporter(void (*report)(const char* mountPoint));

// The request served by this thread: refusals are remembered for it, and waits count from its
// start. Nest-free: one per request, on the thread serving it.
class TFsRequestScope {
public:
    TFsRequestScope();
    // A helper thread working for a request that began at `startMilliseconds` (FsRequestStart()).
    explicit TFsRequestScope(long long startMilliseconds);
    ~TFsRequestScope();
    TFsRequestScope(const TFsRequestScope&) = delete;
    TFsRequestScope& operator=(const TFsRequestScope&) = delete;
};
// True when a call of this thread's request was refused because its file system does not answer.
bool FsRequestRefused();
// When this thread's request began (monotonic milliseconds), 0 outside a request.
long long FsRequestStart();
// Monotonic milliseconds, the guard's clock.
long long FsClockMilliseconds();

// A file system a call reaches: its identity and the mount point that names it in messages.
struct TFsTarget {
    uint64_t fs = 0;
    std::string mountPoint = "/";
};

// The file system `path` reaches (absolute, normalised, its links resolved), from the table alone;
// `isMountPoint`, when given, tells whether `path` is itself the point of a visible mount.
TFsTarget FsTargetOf(std::string_view path, bool* isMountPoint = nullptr);
// The visible mounts strictly below the folder `path` (absolute, normalised), each named by its
// own mount point.
std::vector<TFsTarget> FsMountsBelow(std::string_view path);
// The visible mounts made on entries of the folder `path` (absolute, normalised).
std::vector<TFsTarget> FsMountsIn(std::string_view path);
// True when the file system `fs` is marked as not answering right now.
bool FsMarked(uint64_t fs);

// One call in flight on one file system, from Enter to Leave (or the end of its scope).
class TFsCall {
public:
    TFsCall() = default;
    ~TFsCall() { Leave(); }
    TFsCall(const TFsCall&) = delete;
    TFsCall& operator=(const TFsCall&) = delete;

    // Enters the file system `target`, waiting as the rules above say. False when refused (errno
    // ETIMEDOUT). `path`, when given, is where the call goes (absolute, resolved): a change of the
    // mount table while it is in flight (an automount) may show it reaching another file system,
    // which then counts it too.
    bool Enter(const TFsTarget& target, std::string_view path = {});
    // Finds the file system `path` reaches and enters it: the path is made absolute against the
    // working folder, "." and ".." are collapsed and its links resolved one component at a time
    // (the last one only with `followLast`), each component examined inside a call on its own file
    // system, so that a file system that does not answer is never reached to find another. False
    // when refused (errno ETIMEDOUT).
    bool EnterPath(const char* path, bool followLast = true);
    // The call moves on (a block read, an entry listed): it is not stuck.
    void Progress();
    void Leave();

    bool Entered() const { return entered_; }
    const TFsTarget& Target() const { return target_; }
    // The path given to Enter or found by EnterPath.
    const std::string& Path() const { return path_; }

private:
    friend class TFsGuard;
    static constexpr long long kPaused = -1;  // progress_ while an inner call holds this one up
    void Pause();

    TFsTarget target_;
    std::string path_;
    bool entered_ = false;
    uint64_t also_ = 0;  // another file system the call turned out to reach (0: none)
    bool hasAlso_ = false;
    long long progress_ = 0;  // atomic access only (std::atomic_ref)
    TFsCall* prev_ = nullptr;
    TFsCall* next_ = nullptr;
    TFsCall* alsoPrev_ = nullptr;
    TFsCall* alsoNext_ = nullptr;
    TFsCall* outer_ = nullptr;  // the call this thread was in before this one
};

// Progress of the innermost call this thread has entered, if any.
void FsProgress();

// Resolves `path` as EnterPath does, without entering the last file system: the resolved path in
// `resolved` and its file system in `target`. False when a file system on the way was refused.
bool ResolveFsPath(const char* path, bool followLast, std::string& resolved, TFsTarget& target);

// For tests: a fixed mount table instead of the system's (an empty vector puts the system's back),
// and the calls in flight on `fs`.
void SetMountRecordsForTesting(const std::vector<TMountRecord>& records);
int FsCallsInFlight(uint64_t fs);
