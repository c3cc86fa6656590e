#include "fileutils/file_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "file_fixture.h"
#include "foundation/crc32.h"
#include "handlers/file_content.h"

namespace {

using filetest::S;

// A read that would block ends as a read error at once, before any content and after some.
TEST(FileReader, ReadThatWouldBlockFails) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    TFileReader reader;
    reader.Adopt(pipeFds[0], 0);
    char buffer[64];
    errno = 0;
    EXPECT_EQ(reader.ReadFull(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(write(pipeFds[1], "some", 4), 4);
    EXPECT_EQ(reader.ReadFull(buffer, sizeof buffer), -1) << "the writer has not finished";
    close(pipeFds[1]);
    EXPECT_EQ(reader.ReadFull(buffer, sizeof buffer), 0);
}

// Opening never waits for a pipe's writer, and what Open leaves is non-blocking.
TEST(FileReader, DescriptorIsNonBlocking) {
    filetest::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    TFileReader reader;
    EXPECT_FALSE(reader.Open(S(dir / "fifo")));
    EXPECT_EQ(errno, EINVAL);
    ASSERT_TRUE(reader.Open(S(dir.File("plain", "abc"))));
    EXPECT_EQ(reader.Size(), 3);
}

// A pseudo-file reports size 0: its content is read, up to the bound, and past the bound the
// answer is a read error rather than the checksum of a prefix.
TEST(FileReader, FileReportedEmptyIsReadUpToTheBound) {
    const char* path = "/proc/self/cmdline";
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size != 0) GTEST_SKIP() << "no pseudo-file of size 0";
    std::string content;
    {
        TFileReader reader;
        ASSERT_TRUE(reader.Open(S(path)));
        char block[256];
        for (ssize_t n; (n = reader.ReadFull(block, sizeof block)) > 0;)
            content.append(block, static_cast<size_t>(n));
    }
    ASSERT_GT(content.size(), 10u);
    TCRC32 reference;
    uint32_t expected = reference.GetBlockCRC(content.data(), static_cast<int>(content.size()));
    uint32_t crc = 0;
    String message;
    EXPECT_TRUE(GetFileCRC(S(path), crc, message));
    EXPECT_EQ(crc, expected);

    TFileReader::SetUnsizedLimitForTesting(static_cast<int64_t>(content.size()));
    EXPECT_TRUE(GetFileCRC(S(path), crc, message)) << "content of exactly the bound";
    TFileReader::SetUnsizedLimitForTesting(static_cast<int64_t>(content.size()) - 1);
    EXPECT_FALSE(GetFileCRC(S(path), crc, message));
    EXPECT_EQ(filetest::Str(message), "Read error");
    EXPECT_EQ(CompareFiles(S(path), S(path)), -1);
    TFileReader::SetUnsizedLimitForTesting(0);
}

}  // namespace
