// The file-system guard on a mount table of the test's own: calls held in flight by the test stand
// for calls stuck in the kernel, so the rules (the wait behind an outstanding call, the bound on
// calls in flight, the mark and its end) are seen without a file system that hangs. The listings
// are checked the same way: a folder of a scratch tree is declared a mount, and marked.
#include "fileutils/fs_guard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "fileutils/file_facts.h"
#include "fileutils/file_reader.h"
#include "handlers/file_list.h"
#include "handlers/file_macros.h"
#include "handlers/folder_stats.h"

using filetest::S;
using filetest::Str;
using filetest::TempDir;

namespace {

constexpr int kStall = 400;
constexpr int kStuck = 2;

const TFsTarget kRoot{1, "/"};

// A call on `target` that stays in flight until the object ends (or Release), on a thread of its
// own; with `moving`, it shows progress meanwhile, as a call that works without stalling.
class HeldCall {
public:
    explicit HeldCall(const TFsTarget& target, const std::string& path = "", bool moving = false)
        : moving_(moving) {
        std::promise<bool> entered;
        std::future<bool> result = entered.get_future();
        thread_ = std::thread([this, target, path, &entered] {
            TFsCall call;
            entered.set_value(call.Enter(target, path));
            while (!released_.load()) {
                if (moving_) call.Progress();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        entered_ = result.get();
    }
    ~HeldCall() { Release(); }
    bool Entered() const { return entered_; }
    void Release() {
        released_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    bool moving_;
    bool entered_ = false;
    std::atomic<bool> released_{false};
    std::thread thread_;
};

void Sleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

class FsGuard : public ::testing::Test {
protected:
    void SetUp() override {
        SetFsGuardLimits(kStall, kStuck);
        mounts_ = {{1, 0, 1, "/"}, {2, 1, 2, dir_ / "mnt"}};
        mkdir((dir_ / "mnt").c_str(), 0755);
        SetMountRecordsForTesting(mounts_);
        mount_ = {2, dir_ / "mnt"};
    }
    void TearDown() override {
        SetMountRecordsForTesting({});
        SetFsGuardLimits(kDefaultFsStall, kDefaultFsStuck);
    }

    // Holds a call on the mount until it is marked as not answering.
    std::unique_ptr<HeldCall> Stall() {
        auto held = std::make_unique<HeldCall>(mount_);
        EXPECT_TRUE(held->Entered());
        EXPECT_TRUE(WaitMarked(mount_.fs));
        return held;
    }
    static bool WaitMarked(uint64_t fs) {
        for (int i = 0; i < 200 && !FsMarked(fs); i++) Sleep(10);
        return FsMarked(fs);
    }

    TempDir dir_;
    std::vector<TMountRecord> mounts_;
    TFsTarget mount_;
};

// Behind a call outstanding for 200 ms a request waits, and is refused when its time is up; other
// file systems are served meanwhile. The mark comes with fsstall and goes with the call.
TEST_F(FsGuard, AnOutstandingCallHoldsNewOnesBackAndMarksItsFileSystem) {
    HeldCall stuck(mount_);
    ASSERT_TRUE(stuck.Entered());
    Sleep(kOutstandingMilliseconds + 50);
    EXPECT_FALSE(FsMarked(mount_.fs));
    {
        TFsRequestScope request;
        TFsCall other;
        EXPECT_TRUE(other.Enter(kRoot)) << "another file system answers";
        TFsCall behind;
        EXPECT_FALSE(behind.Enter(mount_));
        EXPECT_EQ(errno, ETIMEDOUT);
        EXPECT_TRUE(FsRequestRefused());
    }
    EXPECT_TRUE(FsMarked(mount_.fs));
    EXPECT_EQ(FsCallsInFlight(mount_.fs), 1);
    stuck.Release();
    EXPECT_FALSE(FsMarked(mount_.fs));
    TFsRequestScope request;
    TFsCall after;
    EXPECT_TRUE(after.Enter(mount_));
    EXPECT_FALSE(FsRequestRefused());
}

// A waiter goes in as soon as the outstanding call returns.
TEST_F(FsGuard, AWaiterGoesInWhenTheCallReturns) {
    auto stuck = std::make_unique<HeldCall>(mount_);
    Sleep(kOutstandingMilliseconds + 50);
    std::thread release([&] {
        Sleep(50);
        stuck->Release();
    });
    TFsRequestScope request;
    TFsCall behind;
    EXPECT_TRUE(behind.Enter(mount_));
    release.join();
}

// Calls that move on never hold others up, but no more than fsstuck are in flight at once.
TEST_F(FsGuard, AtMostFsstuckCallsAreInFlight) {
    std::vector<std::unique_ptr<HeldCall>> working;
    for (int i = 0; i < kStuck; i++)
        working.push_back(std::make_unique<HeldCall>(mount_, "", true));
    Sleep(kOutstandingMilliseconds + 50);
    EXPECT_FALSE(FsMarked(mount_.fs)) << "calls that move on are not stuck";
    std::atomic<bool> entered{false};
    std::thread third([&] {
        TFsRequestScope request;
        TFsCall call;
        entered = call.Enter(mount_);
    });
    Sleep(100);
    EXPECT_FALSE(entered.load()) << "it waits for a turn";
    EXPECT_EQ(FsCallsInFlight(mount_.fs), kStuck);
    working[0]->Release();
    third.join();
    EXPECT_TRUE(entered.load());
}

// An entry examined inside a folder's call waits on the entry's file system: the folder's own
// file system is not taken for stuck.
TEST_F(FsGuard, AnInnerCallHoldsTheOuterOneUpWithoutMarkingItsFileSystem) {
    std::atomic<bool> released{false};
    std::thread lister([&] {
        TFsCall folder;
        ASSERT_TRUE(folder.Enter(kRoot));
        TFsCall entry;
        ASSERT_TRUE(entry.Enter(mount_));
        while (!released.load()) Sleep(10);
    });
    EXPECT_TRUE(WaitMarked(mount_.fs));
    EXPECT_FALSE(FsMarked(kRoot.fs));
    released = true;
    lister.join();
    EXPECT_FALSE(FsMarked(mount_.fs));
}

// An automount point is replaced by the real mount once reached: a call stuck there counts on the
// new file system too, once the table shows it.
TEST_F(FsGuard, AStuckCallCountsOnTheMountThatReplacedItsAutomountPoint) {
    HeldCall stuck(mount_, mount_.mountPoint + "/share/file");
    ASSERT_TRUE(stuck.Entered());
    mounts_.push_back({3, 2, 3, mount_.mountPoint + "/share"});
    SetMountRecordsForTesting(mounts_);
    EXPECT_EQ(FsCallsInFlight(3), 1);
    EXPECT_TRUE(WaitMarked(3));
    TFsRequestScope request;
    TFsCall call;
    EXPECT_FALSE(call.Enter(FsTargetOf(mount_.mountPoint + "/share/other")));
    stuck.Release();
    EXPECT_EQ(FsCallsInFlight(3), 0);
    EXPECT_FALSE(FsMarked(3));
}

std::atomic<int> reports{0};
void CountReport(const char*) {
    reports++;
}

// A refusal is told once a minute per file system, however many there are.
TEST_F(FsGuard, ARefusalIsToldOncePerFileSystem) {
    const TFsTarget fresh{9000 + static_cast<uint64_t>(getpid()), "/fresh"};
    HeldCall stuck(fresh);
    ASSERT_TRUE(WaitMarked(fresh.fs));
    reports = 0;
    SetFsNotAnsweringReporter(CountReport);
    for (int i = 0; i < 3; i++) {
        TFsCall call;
        EXPECT_FALSE(call.Enter(fresh));
    }
    SetFsNotAnsweringReporter(nullptr);
    EXPECT_EQ(reports.load(), 1);
}

// Links are followed one component at a time, so a link into the mount reaches its file system;
// the last component is followed only when asked.
TEST_F(FsGuard, PathsAreResolvedComponentByComponent) {
    dir_.File("mnt/file", "x");
    ASSERT_EQ(symlink((dir_ / "mnt").c_str(), (dir_ / "link").c_str()), 0);
    ASSERT_EQ(symlink("../mnt/file", (dir_ / "mnt/relative").c_str()), 0);
    ASSERT_EQ(symlink("loop", (dir_ / "loop").c_str()), 0);
    struct Case {
        std::string path;
        bool followLast;
        std::string resolved;
        uint64_t fs;
    } cases[] = {
        {dir_ / "link/file", true, dir_ / "mnt/file", 2},
        {dir_ / "link", false, dir_ / "link", 1},
        {dir_ / "link", true, dir_ / "mnt", 2},
        {dir_ / "mnt/../link/./file", true, dir_ / "mnt/file", 2},
        {dir_ / "mnt/relative", true, dir_ / "mnt/file", 2},
        {dir_ / "loop/x", true, dir_ / "loop/x", 1},
        {dir_ / "gone/../mnt/x", true, dir_ / "mnt/x", 2},
        {"/", true, "/", 1},
    };
    for (const Case& c : cases) {
        std::string resolved;
        TFsTarget target;
        ASSERT_TRUE(ResolveFsPath(c.path.c_str(), c.followLast, resolved, target)) << c.path;
        EXPECT_EQ(resolved, c.resolved) << c.path;
        EXPECT_EQ(target.fs, c.fs) << c.path;
    }
}

// Nothing is examined on a file system that does not answer: facts and reads fail at once as on
// an error, listings show the mount point from the listing alone, walks and macros that would
// have to look into it fail rather than leave it out.
TEST_F(FsGuard, NothingIsExaminedOnAMarkedFileSystem) {
    dir_.File("mnt/inside", "12345");
    dir_.File("top.txt", "123");
    auto stuck = Stall();
    TFsRequestScope request;

    EXPECT_FALSE(FileExists((dir_ / "mnt/inside").c_str()));
    EXPECT_EQ(errno, ETIMEDOUT);
    ASSERT_EQ(symlink((dir_ / "mnt/inside").c_str(), (dir_ / "link").c_str()), 0);
    EXPECT_EQ(FileSize((dir_ / "link").c_str()), -1) << "a link into it reaches it too";
    TFileReader reader;
    EXPECT_FALSE(reader.Open(S(dir_ / "mnt/inside")));
    EXPECT_TRUE(FileExists((dir_ / "top.txt").c_str())) << "its parent answers";

    EXPECT_EQ(GetFolderSize(S(dir_.path()), true), -1) << "a sum without it would be wrong";
    EXPECT_EQ(GetFolderSize(S(dir_.path()), false), 3) << "without subfolders it is not needed";
    EXPECT_EQ(CountFiles(S(dir_.path()), "*", true, AllFiles, 0), -1);
    EXPECT_EQ(Str(GetFileUsingSpecialMacros(S(dir_.path() + "/%newestfolder%"))),
              dir_.path() + "/%newestfolder%");

    TFileListQuery query;
    query.folder = S(dir_.path());
    query.subfolders = query.files = query.size = query.changeTime = query.modifyTime = true;
    QDXReply reply;
    ListFolder(query, reply, 1 << 20);
    const std::string text = Str(reply.Text());
    EXPECT_NE(text.find("\nmnt\n16\n     0\n"), std::string::npos) << text;

    query.folder = S(dir_ / "mnt");
    QDXReply inside;
    ListFolder(query, inside, 1 << 20);
    EXPECT_EQ(Str(inside.Text()), "200\n" + dir_.path() + "/mnt/\n0\n5\n")
        << "a folder that cannot be searched";
}

}  // namespace
