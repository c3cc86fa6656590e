// The mountinfo parser, on lines as the kernel writes them and on lines it never would.
#include "platform/mount_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
    const char* name;
    std::string text;
    std::vector<std::string> points;  // of the records parsed, in order
};

const ParseCase kCases[] = {
    {"PlainLines",
     "21 27 0:20 / /proc rw,relatime - proc proc rw\n"
     "27 1 254:0 / / rw,relatime - ext4 /dev/vda1 rw\n",
     {"/proc", "/"}},
    {"OptionalFieldsBeforeTheSeparator",
     "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 shared:2 - ext3 /dev/root rw\n",
     {"/mnt/parent"}},
    {"EscapesAreDecoded",
     "40 27 0:40 / /mnt/a\\040b\\011c\\012d\\134e rw - fuse x rw\n",
     {"/mnt/a b\tc\nd\\e"}},
    {"AnUnknownEscapeStaysAsItIs",
     "40 27 0:40 / /mnt/a\\9b\\04 rw - fuse x rw\n",
     {"/mnt/a\\9b\\04"}},
    {"LastLineWithoutLineEnd", "40 27 0:40 / /mnt rw - tmpfs x rw", {"/mnt"}},
    {"MalformedLinesAreSkipped",
     "x 27 0:40 / /a rw - tmpfs x rw\n"
     "40 27 040 / /b rw - tmpfs x rw\n"
     "40 27 0:40 / relative rw - tmpfs x rw\n"
     "40 27 0:40 / /c rw tmpfs x rw\n"
     "40 27 0:99999999999 / /d rw - tmpfs x rw\n"
     "40\n\n"
     "41 27 0:41 / /e rw - tmpfs x rw\n",
     {"/e"}},
};

TEST(MountInfo, ParsesWhatTheKernelWrites) {
    for (const ParseCase& c : kCases) {
        std::vector<TMountRecord> records;
        ParseMountInfo(c.text, records);
        std::vector<std::string> points;
        for (const TMountRecord& record : records) points.push_back(record.point);
        EXPECT_EQ(points, c.points) << c.name;
    }
}

TEST(MountInfo, IdentifiesMountsAndTheirFileSystems) {
    std::vector<TMountRecord> records;
    ParseMountInfo("36 35 254:3 /sub /mnt/x rw - ext4 /dev/vda3 rw\n", records);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, 36);
    EXPECT_EQ(records[0].parent, 35);
    EXPECT_EQ(records[0].fs, (uint64_t{254} << 32) | 3);
}

// The real table of this process has a root and lists /proc, which tests run with.
TEST(MountTableReader, ReadsThisProcessTable) {
    TMountTableReader reader;
    EXPECT_TRUE(reader.Changed()) << "before the first reading";
    std::vector<TMountRecord> records;
    ASSERT_EQ(reader.Read(records), 0);
    bool root = false;
    for (const TMountRecord& record : records) root = root || record.point == "/";
    EXPECT_TRUE(root);
    EXPECT_FALSE(reader.Changed()) << "nothing was mounted meanwhile";

    // A mount made now is told, and found in the next reading, its blank unescaped.
    char folder[] = "/tmp/qdx-mount-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string point = std::string(folder) + "/a b";
    mkdir(point.c_str(), 0755);
    if (mount("tmpfs", point.c_str(), "tmpfs", 0, "size=64k") != 0) {
        rmdir(point.c_str());
        rmdir(folder);
        GTEST_SKIP() << "mounting is not allowed here";
    }
    EXPECT_TRUE(reader.Changed());
    ASSERT_EQ(reader.Read(records), 0);
    bool found = false;
    for (const TMountRecord& record : records) found = found || record.point == point;
    EXPECT_TRUE(found);
    umount2(point.c_str(), MNT_DETACH);
    EXPECT_TRUE(reader.Changed());
    rmdir(point.c_str());
    rmdir(folder);
}

}  // namespace
