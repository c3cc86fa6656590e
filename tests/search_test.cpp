#include "fileutils/search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "file_fixture.h"

namespace {

using filetest::S;
using filetest::Sorted;

// Names and attribute bits of every entry a search returns, sorted: "name:attr ...".
std::string Found(const std::string& dir, const std::string& pattern, int attr) {
    TSearchRec rec;
    std::vector<std::string> found;
    for (int rc = FindFirst(S(dir), S(pattern), attr, rec); rc == 0; rc = FindNext(rec))
        found.push_back(std::string(rec.Name) + ":" + std::to_string(rec.Attr));
    FindClose(rec);
    EXPECT_EQ(rec.DirHandle, nullptr);
    return Sorted(found);
}

class Search : public ::testing::Test {
protected:
    void SetUp() override {
        dir.File("reg.txt", "12345", 1700000000);
        dir.File(".hidden", "x");
        dir.Dir("sub");
        dir.Dir(".hdir");
        dir.Link("link", dir / "reg.txt");
        dir.Link("dlink", dir / "sub");
        dir.Link("dangling", dir / "missing");
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    }
    filetest::TempDir dir;
};

TEST_F(Search, MasksAndPatterns) {
    struct Case {
        const char* pattern;
        int attr;
        const char* found;
    } cases[] = {
        // Links are never returned, whatever the mask.
        {"*", attrAny, "..:16 .:16 .hdir:18 .hidden:2 fifo:4 reg.txt:0 sub:16"},
        {"*", 0xFF, "..:16 .:16 .hdir:18 .hidden:2 fifo:4 reg.txt:0 sub:16"},
        // Directories, with writable non-hidden regular files passing too.
        {"*", attrDirectory, "..:16 .:16 reg.txt:0 sub:16"},
        {"*", 47, ".hidden:2 fifo:4 reg.txt:0"},
        {"*", 0, "reg.txt:0"},
        {"*", attrSystem, "fifo:4 reg.txt:0"},
        {"*.txt", attrAny, "reg.txt:0"},
        {"s?b", attrAny, "sub:16"},
        {"[a-r]*", attrAny, "fifo:4 reg.txt:0"},
        {"link", attrAny, ""},
        {"", attrAny, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Found(dir.path(), c.pattern, c.attr), c.found)
            << "pattern " << c.pattern << " mask " << c.attr;
}

TEST_F(Search, RecordHoldsTheEntryItself) {
    TSearchRec rec;
    ASSERT_EQ(FindFirst((dir / "reg.txt").c_str(), attrAny, rec), 0);
    TSearchScope scope(rec);
    EXPECT_STREQ(rec.Name, "reg.txt");
    EXPECT_EQ(rec.Size, 5);
    EXPECT_EQ(rec.Time, 1700000000);
    EXPECT_TRUE(S_ISREG(rec.Mode));
    EXPECT_EQ(rec.Mode & 0777, 0644);
    EXPECT_GT(rec.ChangeTime, 1700000000);
    EXPECT_EQ(filetest::Str(rec.DirPath), dir.path() + "/");
    EXPECT_EQ(FindNext(rec), -1);
}

TEST_F(Search, MissingDirectoryLeavesNothingOpen) {
    TSearchRec rec;
    EXPECT_NE(FindFirst(S(dir / "missing"), S("*"), attrAny, rec), 0);
    EXPECT_EQ(rec.DirHandle, nullptr);
    FindClose(rec);
    FindClose(rec);
    // A file is no directory to search.
    EXPECT_NE(FindFirst(S(dir / "reg.txt"), S("*"), attrAny, rec), 0);
    EXPECT_EQ(rec.DirHandle, nullptr);
}

TEST_F(Search, EmptyDirectoryMeansTheWorkingDirectory) {
    int rc = filetest::RunInChild([&] {
        if (chdir(dir.path().c_str()) != 0) return 2;
        TSearchRec rec;
        if (FindFirst(String(), S("reg.txt"), attrAny, rec) != 0) return 3;
        FindClose(rec);
        if (FindFirst("reg.txt", attrAny, rec) != 0) return 4;
        FindClose(rec);
        // Without a working directory there is nothing to search, not the root instead.
        if (rmdir(dir.Dir("gone").c_str()) != 0 || chdir(dir.path().c_str()) != 0) return 5;
        if (mkdir("cwd", 0755) != 0 || chdir("cwd") != 0 || rmdir("../cwd") != 0) return 6;
        return FindFirst(String(), S("*"), attrAny, rec) != 0 ? 0 : 7;
    });
    EXPECT_EQ(rc, 0);
}

// A read-only entry carries attrReadOnly and is returned only when the mask holds it.
TEST_F(Search, ReadOnlyEntriesNeedTheReadOnlyBit) {
    dir.File("mine.txt");
    ASSERT_EQ(chmod((dir / "mine.txt").c_str(), 0666), 0);
    ASSERT_EQ(chmod((dir / "sub").c_str(), 0777), 0);
    int rc = filetest::RunAsNobody([&] {
        // As nobody: the folder and root's 0644 files are read-only, mine.txt, sub and /tmp not.
        if (Found(dir.path(), "*", attrDirectory) != "..:16 mine.txt:0 sub:16") return 2;
        if (Found(dir.path(), "*.txt", 47) != "mine.txt:0 reg.txt:1") return 3;
        if (Found(dir.path(), ".", attrAny) != ".:17") return 4;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

}  // namespace
