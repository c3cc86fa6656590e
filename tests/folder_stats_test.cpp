#include "handlers/folder_stats.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "file_fixture.h"

namespace {

using filetest::S;

class FolderSize : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Dir("data");
        dir.File("data/a.log", std::string(10, 'a'));
        dir.File("data/b.log", std::string(20, 'b'));
        dir.File("data/c.txt", std::string(5, 'c'));
        dir.File("data/.h.log", std::string(3, 'h'));
        dir.File("data/x.dat", "1");
        ASSERT_EQ(mkfifo((dir / "data/fifo").c_str(), 0644), 0);
        dir.Link("data/link.log", dir / "data/a.log");
        dir.Link("data/dirlink", dir / "data/sub");
        dir.Dir("data/sub");
        dir.File("data/sub/d.log", std::string(7, 'd'));
        dir.Dir("data/sub/deeper");
        dir.File("data/sub/deeper/e.log", std::string(11, 'e'));
        dir.File("data/sub/deeper/x.dat", "22");
        dir.Dir("data/.hsub");
        dir.File("data/.hsub/f.log", std::string(13, 'f'));
        // A folder named like a file pattern is walked for that pattern, not counted whole.
        dir.Dir("data/sub/x.dat");
        dir.File("data/sub/x.dat/inside", std::string(100, 'i'));
    }
    filetest::TempDir dir;
};

TEST_F(FolderSize, FoldersPatternsAndFiles) {
    struct Case {
        const char* path;
        bool subfolders;
        double size;
    } cases[] = {
        {"data", false, 10 + 20 + 5 + 3 + 1},
        {"data/", false, 10 + 20 + 5 + 3 + 1},
        {"data", true, 39 + 7 + 11 + 2 + 100 + 13},
        {"data/*.log", false, 10 + 20 + 3},
        {"data/*.log", true, 33 + 7 + 11 + 13},
        {"data/a.log", false, 10},
        {"data/link.log", false, 0},  // a link is neither counted nor followed
        {"data/dirlink", false, 7},   // ... except when it is the folder named
        {"data/x.dat", true, 1 + 2},
        // A folder that does not exist under an existing parent is a pattern matching nothing.
        {"data/gone", false, 0},
        {"data/gone", true, 0},
        {"data/missing/x", false, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetFolderSize(S(dir / c.path), c.subfolders), c.size)
            << c.path << " subfolders " << c.subfolders;
    // dirlink names a folder: it is searched, and its subfolders walked.
    EXPECT_EQ(GetFolderSize(S(dir / "data/dirlink"), true), 7 + 11 + 2 + 100);
}

TEST_F(FolderSize, RelativePathsAreTakenInTheWorkingDirectory) {
    int rc = filetest::RunInChild([&] {
        if (chdir((dir / "data").c_str()) != 0) return 2;
        if (GetFolderSize(S("*.log"), false) != 33) return 3;
        if (GetFolderSize(S("sub"), false) != 7) return 4;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(FolderSize, UnreadableFolderAnswersMinusOneAndUnreadableSubfolderIsSkipped) {
    ASSERT_EQ(chmod((dir / "data/sub/deeper").c_str(), 0700), 0);
    ASSERT_EQ(chmod((dir / "data/.hsub").c_str(), 0700), 0);
    const std::string data = dir / "data";
    int rc = filetest::RunAsNobody([&] {
        if (GetFolderSize(S(data), true) != 39 + 7 + 100) return 2;
        if (GetFolderSize(S(data + "/.hsub"), false) != -1) return 3;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// A file of 5 GiB, held sparse: sizes are 64-bit throughout.
TEST_F(FolderSize, LargeFiles) {
    int fd = open((dir / "data/sub/deeper/big").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{5} << 30), 0);
    close(fd);
    EXPECT_EQ(GetFolderSize(S(dir / "data/sub/deeper/big"), false), 5368709120.0);
    EXPECT_EQ(GetFolderSize(S(dir / "data/*"), true), 5368709120.0 + 39 + 7 + 11 + 2 + 100 + 13);
}

class CountFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const time_t now = time(nullptr);
        dir.Dir("cnt");
        dir.File("cnt/old.log", std::string(100, 'o'), now - 7200);
        dir.File("cnt/new.log", std::string(10, 'n'), now - 600);
        dir.File("cnt/big.dat", std::string(1000, 'b'), now - 7200);
        dir.File("cnt/.hidden.log", "h", now - 600);
        dir.Link("cnt/link.log", dir / "cnt/old.log");
        dir.Dir("cnt/sub");
        dir.File("cnt/sub/s.log", std::string(50, 's'), now - 7200);
        dir.Dir("cnt/.hsub");
        dir.File("cnt/.hsub/h.log", "", now - 600);
        dir.Dir("cnt/sub2");
        dir.Dir("empty");
    }
    filetest::TempDir dir;
};

TEST_F(CountFilesTest, Modes) {
    struct Case {
        const char* mask;
        bool subfolders;
        TCountFilesMode mode;
        int value;
        int count;
    } cases[] = {
        {"*", false, AllFiles, 0, 4},        {"*.log", false, AllFiles, 0, 3},
        {"*.log", true, AllFiles, 0, 4},  // hidden subfolders are not walked
        {"*", false, SubFolders, 0, 3},   // ".hsub", "sub", "sub2"; never "." or ".."
        {"*", true, SubFolders, 0, 3},       {"*.log", false, OlderThan, 60, 1},
        {"*.log", true, OlderThan, 60, 2},   {"*.log", false, NewerThan, 60, 2},
        {"*", false, NewerThan, -60, 0},     {"*", false, BiggerThan, 50, 2},
        {"*", false, SmallerThan, 50, 2},    {"*", true, SmallerThan, 50, 2},
        {"*", true, SmallerThan, 51, 3},     {"", true, AllFiles, 0, 0},
        {"link.log", false, AllFiles, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CountFiles(S(dir / "cnt"), S(c.mask), c.subfolders, c.mode, c.value), c.count)
            << c.mask << " " << c.subfolders << " " << CountFilesModeName[c.mode] << " " << c.value;
}

TEST_F(CountFilesTest, EmptyAndMissingFolders) {
    EXPECT_EQ(CountFiles(S(dir / "empty"), S("*"), false, AllFiles, 0), 0);
    EXPECT_EQ(CountFiles(S(dir / "empty/"), S("*"), true, AllFiles, 0), 0);
    EXPECT_EQ(CountFiles(S(dir / "missing"), S("*"), false, AllFiles, 0), -1);
    EXPECT_EQ(CountFiles(S(dir / "missing"), S("*"), true, AllFiles, 0), -1);
    EXPECT_EQ(CountFiles(S(dir / "cnt/old.log"), S("*"), false, AllFiles, 0), -1);
}

// A folder the agent may read but not write exists all the same, and its read-only subfolders
// are walked.
TEST_F(CountFilesTest, ReadOnlyFoldersAreCounted) {
    const std::string cnt = dir / "cnt";
    const std::string empty = dir / "empty";
    int rc = filetest::RunAsNobody([&] {
        if (CountFiles(S(empty), S("*"), false, AllFiles, 0) != 0) return 2;
        if (CountFiles(S(empty), S("*"), true, AllFiles, 0) != 0) return 3;
        if (CountFiles(S(cnt), S("*.log"), true, AllFiles, 0) != 4) return 4;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// Runs `work` on a thread with the 256 KiB stack of a session.
void OnSessionStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// As deep as a 4096-byte path allows: one folder "d" per level and a 1-byte file at the bottom.
// Made in memory when the system offers it: folders are slow to make and remove on some disks.
TEST(FolderWalks, TreeAsDeepAsAPathAllows) {
    filetest::TempDir dir(filetest::MemoryBase());
    const int levels = static_cast<int>((4000 - dir.path().size()) / 2);
    ASSERT_GT(levels, 1900);
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; i++) {
        ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    int file = openat(fd, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_EQ(write(file, "x", 1), 1);
    close(file);
    close(fd);

    double size = -2;
    int files = -2, folders = -2;
    OnSessionStack([&] {
        size = GetFolderSize(S(dir.path()), true);
        files = CountFiles(S(dir.path()), S("*"), true, AllFiles, 0);
        folders = CountFiles(S(dir.path()), S("d"), true, SubFolders, 0);
    });
    EXPECT_EQ(size, 1);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(folders, levels);
}

// Entries appear, vanish and are swapped for links while the tree is walked: every walk ends
// with a sane answer.
TEST(FolderWalks, TreeChangingWhileWalked) {
    filetest::TempDir dir;
    for (int i = 0; i < 8; i++) {
        dir.Dir("t" + std::to_string(i));
        dir.File("t" + std::to_string(i) + "/f", "abc");
    }
    std::atomic<bool> stop{false};
    std::thread mutator([&] {
        for (unsigned n = 0; !stop; n++) {
            std::string name = dir / ("t" + std::to_string(n % 8));
            std::string moved = name + ".old";
            if (std::rename(name.c_str(), moved.c_str()) == 0) {
                symlink(dir.path().c_str(), name.c_str());
                unlink(name.c_str());
                std::rename(moved.c_str(), name.c_str());
            }
            std::string extra = dir / ("x" + std::to_string(n % 16));
            if (mkdir(extra.c_str(), 0755) != 0) rmdir(extra.c_str());
        }
    });
    for (int i = 0; i < 200; i++) {
        double size = GetFolderSize(S(dir.path()), true);
        EXPECT_GE(size, 0);
        EXPECT_LE(size, 8 * 3);
        int count = CountFiles(S(dir.path()), S("*"), true, AllFiles, 0);
        EXPECT_GE(count, 0);
        EXPECT_LE(count, 8);
    }
    stop = true;
    mutator.join();
}

}  // namespace
