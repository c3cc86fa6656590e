#include "fileutils/file_facts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

class FileFacts : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qdx-facts-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/f.txt";
        int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "hello", 5), 5);
        close(fd);
        timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        link = dir + "/link";
        ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string dir, file, link;
};

TEST_F(FileFacts, RegularFileDirectoryAndLink) {
    EXPECT_EQ(FileAge(file.c_str()), 1700000000);
    EXPECT_EQ(FileSize(file.c_str()), 5);
    EXPECT_TRUE(FileExists(file.c_str()));
    EXPECT_FALSE(DirectoryExists(file.c_str()));
    EXPECT_TRUE(DirectoryExists(dir.c_str()));
    EXPECT_FALSE(FileExists(dir.c_str()));
    // Links are followed.
    EXPECT_TRUE(FileExists(link.c_str()));
    EXPECT_EQ(FileSize(link.c_str()), 5);
}

TEST_F(FileFacts, MissingPaths) {
    std::string missing = dir + "/missing";
    EXPECT_EQ(FileAge(missing.c_str()), -1);
    EXPECT_EQ(FileSize(missing.c_str()), -1);
    EXPECT_FALSE(FileExists(missing.c_str()));
    EXPECT_FALSE(DirectoryExists(missing.c_str()));
    EXPECT_FALSE(DeleteFile(missing.c_str()));
    EXPECT_FALSE(FileExists(nullptr));
}

TEST_F(FileFacts, LargeSizesAndTimesAfter2038) {
    std::string big = dir + "/sparse";
    int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const off_t fiveGiB = off_t{5} << 30;
    ASSERT_EQ(ftruncate(fd, fiveGiB), 0);
    close(fd);
    EXPECT_EQ(FileSize(big.c_str()), fiveGiB);
    const time_t in2100 = 4102444800;
    timespec times[2] = {{in2100, 0}, {in2100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), times, 0), 0);
    EXPECT_EQ(FileAge(big.c_str()), in2100);
}

TEST_F(FileFacts, DeleteFile) {
    EXPECT_TRUE(DeleteFile(file.c_str()));
    EXPECT_FALSE(FileExists(file.c_str()));
}

}  // namespace
