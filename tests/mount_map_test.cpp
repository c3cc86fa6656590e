// Which mount a path reaches, from the table alone: whole components, later mounts hiding earlier
// ones, bind mounts sharing their file system.
#include "fileutils/mount_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct LookupCase {
    const char* path;
    uint64_t fs;
};

TEST(MountMap, LongestVisibleMountInWholeComponents) {
    TMountMap map({
        {1, 0, 10, "/"},
        {2, 1, 20, "/mnt/nfs"},
        {3, 1, 30, "/mnt/nfs2"},
        {4, 2, 40, "/mnt/nfs/inner"},
        {5, 1, 20, "/srv/bind"},  // a bind mount of the first NFS file system
    });
    const LookupCase cases[] = {
        {"/", 10},
        {"/etc/hosts", 10},
        {"/mnt", 10},
        {"/mnt/nfs", 20},
        {"/mnt/nfs/x", 20},
        {"/mnt/nfs2/x", 30},
        {"/mnt/nfsx", 10},
        {"/mnt/nfs/inner/deep/file", 40},
        {"/mnt/nfs/innerx", 20},
        {"/srv/bind/x", 20},
    };
    for (const LookupCase& c : cases) {
        const TMountRecord* mount = map.MountOf(c.path);
        ASSERT_NE(mount, nullptr) << c.path;
        EXPECT_EQ(mount->fs, c.fs) << c.path;
    }
    EXPECT_NE(map.MountAt("/mnt/nfs"), nullptr);
    EXPECT_EQ(map.MountAt("/mnt/nfs/x"), nullptr);
    std::vector<std::string> below;
    for (const TMountRecord* mount : map.MountsBelow("/mnt")) below.push_back(mount->point);
    std::sort(below.begin(), below.end());
    EXPECT_EQ(below, (std::vector<std::string>{"/mnt/nfs", "/mnt/nfs/inner", "/mnt/nfs2"}));
    std::vector<std::string> in;
    for (const TMountRecord* mount : map.MountsIn("/mnt")) in.push_back(mount->point);
    std::sort(in.begin(), in.end());
    EXPECT_EQ(in, (std::vector<std::string>{"/mnt/nfs", "/mnt/nfs2"}));
    EXPECT_TRUE(map.MountsIn("/").empty());
    EXPECT_EQ(map.MountsIn("/srv").size(), 1u);
}

TEST(MountMap, LaterMountsHideEarlierOnes) {
    std::vector<TMountRecord> records = {
        {1, 0, 10, "/"},
        {2, 1, 20, "/mnt/a"},  // hidden by the mount on /mnt below
        {3, 1, 30, "/mnt"},
        {4, 3, 40, "/mnt"},  // mounted over the one before on the same point
    };
    TMountMap stacked{std::vector<TMountRecord>(records)};
    EXPECT_EQ(stacked.MountOf("/mnt/a/x")->fs, 40u);
    EXPECT_EQ(stacked.MountOf("/mnt")->fs, 40u);
    EXPECT_EQ(stacked.MountAt("/mnt/a"), nullptr);

    // A new root over the first hides all that was mounted before it.
    records.push_back({5, 1, 50, "/"});
    records.push_back({6, 5, 60, "/srv"});
    TMountMap rooted{std::move(records)};
    EXPECT_EQ(rooted.MountOf("/mnt/a/x")->fs, 50u);
    EXPECT_EQ(rooted.MountOf("/srv/x")->fs, 60u);
    EXPECT_EQ(rooted.MountAt("/mnt"), nullptr);
}

// Mounts listed as made over each other in a circle (an id listed twice): the map is made, and
// answers.
TEST(MountMap, MountsOverEachOtherInACircleEnd) {
    TMountMap map({{1, 0, 10, "/"}, {2, 1, 20, "/mnt"}, {3, 2, 30, "/mnt"}, {2, 3, 40, "/mnt"}});
    EXPECT_NE(map.MountOf("/mnt/x"), nullptr);
}

TEST(MountMap, ATableWithoutARootKnowsNothing) {
    TMountMap map({{2, 1, 20, "/mnt"}});
    EXPECT_EQ(map.MountOf("/mnt/x"), nullptr);
    EXPECT_EQ(TMountMap().MountOf("/"), nullptr);
}

}  // namespace
