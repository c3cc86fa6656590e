#include "fileutils/tree_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "fileutils/search.h"

namespace {

using filetest::S;
using filetest::Sorted;

class TreeWalk : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Dir("a");
        dir.Dir("a/b");
        dir.File("a/b/deep.txt");
        dir.Dir(".h");
        dir.File(".h/in-hidden.txt");
        dir.File("top.txt");
        dir.Link("loop", dir.path());
        dir.Link("to-a", dir / "a");
    }
    filetest::TempDir dir;
};

TEST_F(TreeWalk, VisitsEveryEntryAndDescendsWhereAsked) {
    std::vector<std::string> seen;
    auto all = [&](TWalkEntry& entry) {
        seen.push_back(std::string(entry.Name()) + ":" + std::to_string(entry.Attributes()));
        return true;
    };
    ASSERT_EQ(WalkTree(S(dir.path()), all), 0);
    // Links are visited as entries but never walked into; "." and ".." of every folder are seen.
    EXPECT_EQ(Sorted(seen),
              "..:16 ..:16 ..:16 ..:16 .:16 .:16 .:16 .:16 .h:18 a:16 b:16 deep.txt:0 "
              "in-hidden.txt:0 loop:68 to-a:68 top.txt:0");

    seen.clear();
    auto notHidden = [&](TWalkEntry& entry) {
        if (!IsDotName(entry.Name())) seen.push_back(entry.Name());
        return (entry.Attributes() & attrHidden) == 0;
    };
    ASSERT_EQ(WalkTree(S(dir.path()), notHidden), 0);
    EXPECT_EQ(Sorted(seen), ".h a b deep.txt loop to-a top.txt");
}

TEST_F(TreeWalk, TopThatCannotBeOpened) {
    auto any = [](TWalkEntry&) { return true; };
    EXPECT_EQ(WalkTree(S(dir / "missing"), any), ENOENT);
    EXPECT_EQ(WalkTree(S(dir / "top.txt"), any), ENOTDIR);
    // The top itself may be a link: it is what the caller named.
    EXPECT_EQ(WalkTree(S(dir / "to-a"), any), 0);
}

// A folder swapped for a link to the top after it was listed is skipped: the walk neither loops
// nor leaves the tree.
TEST_F(TreeWalk, FolderReplacedByALinkIsSkipped) {
    filetest::TempDir outside;
    bool swapped = false;
    std::vector<std::string> seen;
    auto swapper = [&](TWalkEntry& entry) {
        if (!swapped) {
            swapped = true;
            EXPECT_EQ(std::rename((dir / "a").c_str(), (outside / "a").c_str()), 0);
            EXPECT_EQ(symlink(dir.path().c_str(), (dir / "a").c_str()), 0);
        }
        if (!IsDotName(entry.Name())) seen.push_back(entry.Name());
        return true;
    };
    ASSERT_EQ(WalkTree(S(dir.path()), swapper), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "top.txt"), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "deep.txt"), 0);
}

// The descriptors the process holds open now.
int OpenDescriptors() {
    int open = 0;
    for (int fd = 0; fd < 4096; fd++)
        if (fcntl(fd, F_GETFD) != -1) open++;
    return open;
}

// A parent swapped for a link after its first child was seen: what the link leads to is never
// counted, whether the walk still holds the parent open or must reach it again by name (past the
// ancestors a worker holds).
TEST(TreeWalkSwaps, ParentSwappedForALinkAfterItsFirstChild) {
    for (int chain : {0, 12}) {
        SCOPED_TRACE(chain);
        filetest::TempDir dir;
        filetest::TempDir outside;
        // top/p/{first.txt, a/..., z/}: "a" leads down a chain of `chain` folders, so that by the
        // time "z" is opened "p" is no longer held; outside holds a "z" full of bait.
        dir.Dir("p");
        dir.File("p/first.txt");
        std::string deep = "p/a";
        dir.Dir(deep);
        for (int i = 0; i < chain; i++) dir.Dir(deep += "/c");
        dir.File(deep + "/bottom.txt");
        dir.Dir("p/z");
        dir.File("p/z/inside.txt");
        outside.Dir("p");
        outside.Dir("p/z");
        outside.File("p/z/bait.txt");
        outside.Dir("p/a");
        outside.File("p/a/bait.txt");
        filetest::TempDir moved;

        bool swapped = false;
        std::vector<std::string> seen;
        auto swapper = [&](TWalkEntry& entry) {
            const std::string name = entry.Name();
            if (name == "first.txt" && !swapped) {
                swapped = true;
                EXPECT_EQ(std::rename((dir / "p").c_str(), (moved / "p").c_str()), 0);
                EXPECT_EQ(symlink((outside / "p").c_str(), (dir / "p").c_str()), 0);
            }
            if (!IsDotName(entry.Name())) seen.push_back(name);
            return true;
        };
        ASSERT_EQ(WalkTree(S(dir.path()), swapper), 0);
        ASSERT_TRUE(swapped);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "bait.txt"), 0) << Sorted(seen);
    }
}

// However deep and bushy the tree, a worker holds at most four folders open beside the top; every
// folder is still read.
TEST(TreeWalkBounds, DescriptorBudget) {
    filetest::TempDir dir(filetest::MemoryBase());
    // Twelve levels; each has "a" (the next level), "b" and "c" (each holding a probe file).
    std::string level;
    for (int i = 0; i < 12; i++) {
        for (const char* side : {"b", "c"}) {
            dir.Dir(level + side);
            dir.File(level + side + "/probe");
        }
        dir.Dir(level += "a");
        level += "/";
    }
    FsTargetOf("/");  // the file-system guard keeps the mount table open for the process
    const int before = OpenDescriptors();
    int most = 0, probes = 0;
    auto visit = [&](TWalkEntry& entry) {
        if (std::string(entry.Name()) == "probe") {
            probes++;
            most = std::max(most, OpenDescriptors() - before);
        }
        return true;
    };
    ASSERT_EQ(WalkTree(S(dir.path()), visit), 0);
    EXPECT_EQ(probes, 24);
    EXPECT_LE(most, 1 + kWalkWorkerDescriptors);
    EXPECT_EQ(OpenDescriptors(), before);
}

// Folders more than kMaxWalkDepth levels below the top are seen in their parent's listing but not
// read.
TEST(TreeWalkBounds, DepthBound) {
    filetest::TempDir dir(filetest::MemoryBase());
    int fd = filetest::MakeFolderChain(dir.path(), kMaxWalkDepth + 3);
    ASSERT_GE(fd, 0);
    close(fd);
    int folders = 0;
    auto visit = [&](TWalkEntry& entry) {
        if (std::string(entry.Name()) == "d") folders++;
        return true;
    };
    ASSERT_EQ(WalkTree(S(dir.path()), visit), 0);
    EXPECT_EQ(folders, kMaxWalkDepth + 1);
}

// Walks running at once borrow no more helpers than the setting allows between them, and each
// visit names a worker of its own walk.
TEST(TreeWalkWorkers, HelpersAreBoundedAcrossWalks) {
    filetest::TempDir dir(filetest::MemoryBase());
    for (int i = 0; i < 40; i++) {
        dir.Dir("f" + std::to_string(i));
        for (int j = 0; j < 5; j++) dir.Dir("f" + std::to_string(i) + "/g" + std::to_string(j));
    }
    for (int workers : {2, 3}) {
        SCOPED_TRACE(workers);
        std::atomic<int> most{0};
        std::atomic<bool> badWorker{false};
        auto walk = [&] {
            auto visit = [&](TWalkEntry& entry) {
                if (entry.Worker() < 0 || entry.Worker() >= workers) badWorker = true;
                int now = WalkHelpersRunning();
                for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
                }
                return true;
            };
            EXPECT_EQ(WalkTree(S(dir.path()), visit, workers), 0);
        };
        std::vector<std::thread> walks;
        for (int i = 0; i < 4; i++) walks.emplace_back(walk);
        for (std::thread& t : walks) t.join();
        EXPECT_FALSE(badWorker);
        EXPECT_LE(most.load(), workers - 1);
        EXPECT_GE(most.load(), 1) << "no helper was ever borrowed";
        EXPECT_EQ(WalkHelpersRunning(), 0);
    }
}

// A walk held up in one folder (as on a file system that stopped answering) gives its idle helpers
// back after fsstall, and finishes once the folder answers.
TEST(TreeWalkWorkers, IdleHelpersOfAHeldUpWalkAreGivenBack) {
    filetest::TempDir dir(filetest::MemoryBase());
    for (int i = 0; i < 8; i++) dir.Dir("f" + std::to_string(i));
    dir.Dir("f3/held");
    SetFsGuardLimits(200, kDefaultFsStuck);
    std::atomic<bool> release{false}, heldUp{false};
    std::thread walk([&] {
        auto visit = [&](TWalkEntry& entry) {
            if (std::string(entry.Name()) == "held") {
                heldUp = true;
                while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return true;
        };
        // The other workers may meet the folder's file system marked meanwhile and end the walk.
        int result = WalkTree(S(dir.path()), visit, 3);
        EXPECT_TRUE(result == 0 || result == ETIMEDOUT) << result;
    });
    bool givenBack = false;
    for (int i = 0; i < 300 && !givenBack; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // The held-up worker may be a helper; the other one has nothing left to do.
        givenBack = heldUp.load() && WalkHelpersRunning() <= 1;
    }
    EXPECT_TRUE(givenBack) << WalkHelpersRunning() << " helpers still held";
    release = true;
    walk.join();
    SetFsGuardLimits(kDefaultFsStall, kDefaultFsStuck);
    EXPECT_EQ(WalkHelpersRunning(), 0);
}

}  // namespace
