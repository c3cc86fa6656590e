#include "fileutils/tree_walk.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
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

}  // namespace
