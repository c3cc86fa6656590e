#include "handlers/folder_stats.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

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
    for (int workers : {1, 3}) {
        for (const Case& c : cases)
            EXPECT_EQ(GetFolderSize(S(dir / c.path), c.subfolders, workers), c.size)
                << c.path << " subfolders " << c.subfolders << " workers " << workers;
        // dirlink names a folder: it is searched, and its subfolders walked.
        EXPECT_EQ(GetFolderSize(S(dir / "data/dirlink"), true, workers), 7 + 11 + 2 + 100);
    }
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
    for (int workers : {1, 3})
        for (const Case& c : cases)
            EXPECT_EQ(CountFiles(S(dir / "cnt"), S(c.mask), c.subfolders, c.mode, c.value, workers),
                      c.count)
                << c.mask << " " << c.subfolders << " " << CountFilesModeName[c.mode] << " "
                << c.value << " workers " << workers;
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
    int fd = filetest::MakeFolderChain(dir.path(), levels);
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

// Random trees: folders, files of random sizes and times, hidden entries, links and pipes. The
// walk with several workers gives exactly the single walk's sums and counts.
void MakeRandomTree(const filetest::TempDir& dir, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::string> folders = {""};
    const time_t now = time(nullptr);
    const int entries = 300 + static_cast<int>(random() % 500);
    for (int i = 0; i < entries; i++) {
        const std::string parent = folders[random() % folders.size()];
        std::string name =
            (random() % 6 == 0 ? "." : "") + std::to_string(i) + (random() % 2 ? ".log" : ".dat");
        const std::string path = parent + name;
        switch (random() % 8) {
            case 0:
            case 1:
                dir.Dir(path);
                folders.push_back(path + "/");
                break;
            case 2:
                dir.Link(path, random() % 2 ? dir.path() : dir / parent);
                break;
            case 3:
                ASSERT_EQ(mkfifo((dir / path).c_str(), 0644), 0);
                break;
            default:
                dir.File(path, std::string(random() % 3000, 'x'),
                         now - static_cast<time_t>(random() % 20000));
        }
    }
}

TEST(FolderWalks, SeveralWorkersAnswerAsOne) {
    for (unsigned seed = 1; seed <= 6; seed++) {
        SCOPED_TRACE(seed);
        filetest::TempDir dir(filetest::MemoryBase());
        MakeRandomTree(dir, seed);
        for (const char* path : {"", "/*.log", "/1*"})
            for (bool subfolders : {false, true}) {
                const double single = GetFolderSize(S(dir.path() + path), subfolders, 1);
                ASSERT_GE(single, 0);
                for (int workers : {2, 4})
                    EXPECT_EQ(GetFolderSize(S(dir.path() + path), subfolders, workers), single)
                        << path << " " << subfolders << " workers " << workers;
            }
        for (int mode = AllFiles; mode <= SubFolders; mode++)
            for (const char* mask : {"*", "*.log"}) {
                const auto m = static_cast<TCountFilesMode>(mode);
                const int value = mode == BiggerThan || mode == SmallerThan ? 1500 : 100;
                const int single = CountFiles(S(dir.path()), S(mask), true, m, value, 1);
                ASSERT_GE(single, 0);
                for (int workers : {2, 4})
                    EXPECT_EQ(CountFiles(S(dir.path()), S(mask), true, m, value, workers), single)
                        << CountFilesModeName[mode] << " " << mask << " workers " << workers;
            }
    }
}

// A folder with more subfolders than the shared queue holds: those that do not fit are read by
// the worker that found them.
TEST(FolderWalks, MoreFoldersThanTheQueueHolds) {
    filetest::TempDir dir(filetest::MemoryBase());
    const int folders = 5000;
    for (int i = 0; i < folders; i++) {
        dir.Dir("d" + std::to_string(i));
        if (i % 100 == 0) dir.File("d" + std::to_string(i) + "/f", "12345");
    }
    for (int workers : {1, 2, 4}) {
        EXPECT_EQ(CountFiles(S(dir.path()), S("*"), true, SubFolders, 0, workers), folders);
        EXPECT_EQ(GetFolderSize(S(dir.path()), true, workers), 5 * folders / 100);
    }
}

// Sizes beyond the 64-bit range stop at its largest value, however the files are shared out.
TEST(FolderWalks, SumsSaturateAlike) {
    filetest::TempDir dir(filetest::MemoryBase());
    for (int i = 0; i < 12; i++) {
        const std::string folder = dir.Dir("s" + std::to_string(i));
        int fd = open((folder + "/huge").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        // Sparse: nothing is written. A system that cannot hold such a size cannot run this test.
        if (ftruncate(fd, off_t{1} << 61) != 0) {
            close(fd);
            GTEST_SKIP() << "no file system here holds files of 2^61 bytes";
        }
        close(fd);
    }
    const double most = static_cast<double>(INT64_MAX);
    for (int workers : {1, 2, 4}) EXPECT_EQ(GetFolderSize(S(dir.path()), true, workers), most);
}

// Entries appear, vanish and are swapped for links, to the top and to a folder outside the tree,
// while the tree is walked: every walk ends with a sane answer, and nothing outside is counted.
TEST(FolderWalks, TreeChangingWhileWalked) {
    filetest::TempDir dir;
    filetest::TempDir outside;
    outside.File("bait", std::string(100000, 'b'));
    for (int i = 0; i < 8; i++) {
        dir.Dir("t" + std::to_string(i));
        dir.File("t" + std::to_string(i) + "/f", "abc");
        dir.Dir("t" + std::to_string(i) + "/deeper");
        dir.File("t" + std::to_string(i) + "/deeper/g", "abc");
    }
    std::atomic<bool> stop{false};
    std::thread mutator([&] {
        for (unsigned n = 0; !stop; n++) {
            std::string name = dir / ("t" + std::to_string(n % 8));
            std::string moved = name + ".old";
            if (std::rename(name.c_str(), moved.c_str()) == 0) {
                symlink(n % 2 ? dir.path().c_str() : outside.path().c_str(), name.c_str());
                unlink(name.c_str());
                std::rename(moved.c_str(), name.c_str());
            }
            std::string extra = dir / ("x" + std::to_string(n % 16));
            if (mkdir(extra.c_str(), 0755) != 0) rmdir(extra.c_str());
        }
    });
    for (int i = 0; i < 300; i++) {
        const int workers = 1 + i % 3;
        double size = GetFolderSize(S(dir.path()), true, workers);
        EXPECT_GE(size, 0);
        EXPECT_LE(size, 8 * 6);
        int count = CountFiles(S(dir.path()), S("*"), true, AllFiles, 0, workers);
        EXPECT_GE(count, 0);
        EXPECT_LE(count, 16);
    }
    stop = true;
    mutator.join();
}

}  // namespace
