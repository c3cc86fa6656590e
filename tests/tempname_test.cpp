#include "fileutils/tempname.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// A fresh folder, and TMPDIR / TMP saved and restored around each test.
class TempName : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdx-tempname-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        for (const char* name : {"TMPDIR", "TMP"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value ? value : "");
            present.push_back(value != nullptr);
        }
    }
    void TearDown() override {
        for (size_t i = 0; i < saved.size(); i++) {
            if (present[i])
                setenv(saved[i].first.c_str(), saved[i].second.c_str(), 1);
            else
                unsetenv(saved[i].first.c_str());
        }
        std::filesystem::remove_all(dir);
    }
    // The name the next unnamed gettempfilename call in `folder` will try first, given that the
    // counter was just set to `counter`.
    std::string NextUnnamed(const std::string& folder, int32_t counter) {
        long id = static_cast<long>(GetUniqueThreadID()) + 1;
        return folder + "/tmp-" + std::to_string(id) + "-" + std::to_string(counter + 1);
    }
    std::string dir;
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<bool> present;
};

TEST_F(TempName, FolderComesFromTheArgumentOrTheEnvironment) {
    char buf[512];
    EXPECT_EQ(gettempfilename(nullptr, 512, "x.txt"), 0);
    std::strcpy(buf, "keep");
    EXPECT_EQ(gettempfilename(buf, 15, "x.txt"), 0);
    EXPECT_STREQ(buf, "keep") << "a buffer below 16 bytes is left alone";

    setenv("TMPDIR", "/tmp", 1);
    ASSERT_EQ(gettempfilename(buf, sizeof buf, "x.txt"), 1);
    EXPECT_STREQ(buf, "/tmp/x.txt");
    unsetenv("TMPDIR");
    setenv("TMP", "/var/tmp", 1);
    ASSERT_EQ(gettempfilename(buf, sizeof buf, "x.txt"), 1);
    EXPECT_STREQ(buf, "/var/tmp/x.txt");
    setenv("TMPDIR", "", 1);  // empty counts as unset
    ASSERT_EQ(gettempfilename(buf, sizeof buf, "x.txt"), 1);
    EXPECT_STREQ(buf, "/var/tmp/x.txt");
    unsetenv("TMP");
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr), 1);
    EXPECT_EQ(std::string(buf).rfind("./tmp-", 0), 0u) << buf;

    setenv("TMPDIR", "/tmp", 1);
    ASSERT_EQ(gettempfilename(buf, sizeof buf, "x.txt", dir.c_str()), 1);
    EXPECT_EQ(std::string(buf), dir + "/x.txt") << "a given folder wins over the environment";
}

TEST_F(TempName, PathsThatDoNotFitFailWithAnEmptyBuffer) {
    char buf[40];
    std::string longFolder(30, 'd');  // 30 + "/" + 16 > 40
    EXPECT_EQ(gettempfilename(buf, sizeof buf, "x", longFolder.c_str()), 0);
    EXPECT_STREQ(buf, "");
    // The folder fits, the name does not: no name cut short.
    EXPECT_EQ(gettempfilename(buf, sizeof buf, "a-file-name-of-thirty-six-bytes.txt", "/tmp"), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(gettempfilename(buf, sizeof buf, "short.txt", "/tmp"), 1);
    EXPECT_STREQ(buf, "/tmp/short.txt");
}

TEST_F(TempName, CounterWrapsToOneAndTakenNamesAreSkipped) {
    char buf[512];
    SetTempNameCounterForTesting(1000000);
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr, dir.c_str()), 1);
    EXPECT_EQ(std::string(buf).substr(std::string(buf).rfind('-')), "-1") << buf;

    SetTempNameCounterForTesting(500);
    std::string taken = NextUnnamed(dir, 500);
    close(open(taken.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr, dir.c_str()), 1);
    const std::string prefix = taken.substr(0, taken.size() - 3);
    const std::string name = buf;
    ASSERT_EQ(name.rfind(prefix, 0), 0u) << "same form: " << name;
    long n = std::atol(name.c_str() + prefix.size());
    EXPECT_TRUE(n >= 1 && n <= 1000000) << name;
    EXPECT_NE(name, taken);
}

// Someone who can write to the temporary folder plants the names that the counter and the
// identifiers will give next: after the first taken name, creation moves on to random numbers.
TEST_F(TempName, NamesPlantedAheadDoNotBlockCreation) {
    auto plant = [](const std::string& path) {
        close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    };
    SetTempNameCounterForTesting(0);
    std::string first = NextUnnamed(dir, 0);
    const std::string prefix = first.substr(0, first.size() - 1);
    for (int n = 1; n <= 2000; n++) plant(prefix + std::to_string(n));
    char buf[512];
    ASSERT_EQ(gettempfilename(buf, sizeof buf, nullptr, dir.c_str()), 1);
    EXPECT_FALSE(std::filesystem::exists(buf)) << buf;

    // The same for exclusive creation: the unnamed names of the next identifiers from the
    // counter's value, and the next 200 identifiers of a named pattern.
    SetTempNameCounterForTesting(0);
    long id = static_cast<long>(GetUniqueThreadID()) + 1;
    for (long i = id; i < id + 200; i++) {
        plant(dir + "/tmp-" + std::to_string(i) + "-1");
        plant(dir + "/tmpPqdx-" + std::to_string(i) + ".txt");
    }
    for (const char* pattern : {static_cast<const char*>(nullptr), "tmpPqdx-%ld.txt"}) {
        String path;
        int fd = CreateTempFile(dir.c_str(), pattern, 0600, path);
        EXPECT_GE(fd, 0) << (pattern ? pattern : "unnamed");
        if (fd >= 0) close(fd);
    }
}

TEST_F(TempName, TwoThreadsGetDifferentNames) {
    constexpr int kEach = 2000;
    std::vector<std::string> names[2];
    auto take = [&](int t) {
        char buf[512];
        for (int i = 0; i < kEach; i++)
            if (gettempfilename(buf, sizeof buf, nullptr, dir.c_str())) names[t].push_back(buf);
    };
    std::thread a(take, 0), b(take, 1);
    a.join();
    b.join();
    std::set<std::string> all(names[0].begin(), names[0].end());
    all.insert(names[1].begin(), names[1].end());
    EXPECT_EQ(all.size(), 2u * kEach);
}

TEST_F(TempName, CreateTempFileNeverFollowsOrReusesAPlantedName) {
    std::string victim = dir + "/victim";
    std::string other = dir + "/owned-by-someone";
    std::ofstream(other) << "theirs";

    // Named pattern: the next identifier's name is a link to a file that does not exist yet.
    long id = static_cast<long>(GetUniqueThreadID()) + 1;
    std::string planted = dir + "/tmpPqdx-" + std::to_string(id) + ".txt";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    String path;
    int fd = CreateTempFile(dir.c_str(), "tmpPqdx-%ld.txt", 0600, path);
    ASSERT_GE(fd, 0);
    std::string created(path.Data(), static_cast<size_t>(path.Length()));
    EXPECT_NE(created, planted);
    const std::string form = dir + "/tmpPqdx-";
    EXPECT_EQ(created.rfind(form, 0), 0u) << created;
    EXPECT_GT(std::atol(created.c_str() + form.size()), 0) << created;
    EXPECT_EQ(write(fd, "ours", 4), 4);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
    EXPECT_FALSE(std::filesystem::exists(victim)) << "the link was followed";

    // Unnamed: the next name is a hard link to another user's file.
    SetTempNameCounterForTesting(700);
    std::string next = NextUnnamed(dir, 700);
    ASSERT_EQ(link(other.c_str(), next.c_str()), 0);
    fd = CreateTempFile(dir.c_str(), nullptr, 0600, path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_NE(std::string(path.Data(), static_cast<size_t>(path.Length())), next);
    std::ifstream theirs(other);
    std::string content((std::istreambuf_iterator<char>(theirs)), {});
    EXPECT_EQ(content, "theirs");

    struct stat info {};
    ASSERT_EQ(stat(created.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(TempName, CreateTempFileFailures) {
    String path = "stale";
    EXPECT_EQ(CreateTempFile((dir + "/missing").c_str(), nullptr, 0600, path), kTempCannotCreate);
    EXPECT_EQ(path.Length(), 0);
    std::string longFolder(600, 'd');
    EXPECT_EQ(CreateTempFile(longFolder.c_str(), nullptr, 0600, path), kTempNoName);
}

}  // namespace
