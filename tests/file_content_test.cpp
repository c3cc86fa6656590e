#include "handlers/file_content.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "file_fixture.h"
#include "foundation/crc32.h"

namespace {

using filetest::S;

class FileContent : public ::testing::Test {
protected:
    std::string File(const std::string& name, const std::string& content) {
        return dir.File(name, content);
    }
    filetest::TempDir dir;
};

TEST_F(FileContent, CompareFiles) {
    const std::string big(200000, 'z');
    std::string bigOther = big;
    bigOther[150000] = 'y';  // past the first blocks read
    struct Case {
        std::string first, second;
        int result;
    } cases[] = {
        {"same", "same", 1},
        {"abc", "abd", 0},
        {"abc", "abcdef", 1},  // only the common
                               // length is compared
        {"abcdef", "abc", 1},
        {"", "anything", 1},
        {big, big, 1},
        {big, bigOther, 0},
        {big + "tail", big, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareFiles(S(File("a", c.first)), S(File("b", c.second))), c.result)
            << c.first.size() << " / " << c.second.size();
    }
    EXPECT_EQ(CompareFiles(S(dir / "a"), S(dir / "missing")), -1);
    EXPECT_EQ(CompareFiles(S(dir / "missing"), S(dir / "a")), -1);
    EXPECT_EQ(CompareFiles(S(dir.path()), S(dir / "a")), -1);
}

TEST_F(FileContent, FindStrInFile) {
    struct Case {
        const char* content;
        const char* what;
        int caseSensitive, wholeWord;
        double result;
    } cases[] = {
        {"a log.", "log", 1, 1, 1},
        {"catalog", "log", 1, 1, 0},
        {"catalog", "log", 1, 0, 1},
        {"logs, log", "log", 1, 1, 1},  // the second occurrence is a whole word
        {"log", "log", 1, 1, 1},
        {"a log.", "LOG", 0, 0, 1},
        {"A LOG.", "log", 0, 1, 1},
        {"a log.", "LOG", 1, 0, 0},
        {"x\xE9log\xE9", "log", 1, 1, 1},  // bytes above 0x7F are no letters
        {"lo", "log", 1, 0, 0},            // longer than the file
        {"", "log", 1, 0, 0},
        {"a log.", "", 1, 0, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindStrInFile(S(File("f", c.content)), S(c.what), c.caseSensitive, c.wholeWord),
                  c.result)
            << "'" << c.what << "' in '" << c.content << "'";
    EXPECT_EQ(FindStrInFile(S(dir / "missing"), S("x"), 1, 0), -1);
    EXPECT_EQ(FindStrInFile(String(), S("x"), 1, 0), -1);
}

// Occurrences and their neighbouring bytes on either side of a boundary between the blocks read
// are judged like any other, wherever the boundary falls.
TEST_F(FileContent, FindStrInFileAcrossBlocks) {
    for (size_t pad = 65520; pad < 65560; pad++) {
        const std::string head(pad, 'x');
        EXPECT_EQ(FindStrInFile(S(File("f", head + " needle ")), S("needle"), 1, 1), 1) << pad;
        EXPECT_EQ(FindStrInFile(S(File("f", head + " needles")), S("needle"), 1, 1), 0) << pad;
        EXPECT_EQ(FindStrInFile(S(File("f", head + "aneedle ")), S("needle"), 1, 1), 0) << pad;
        EXPECT_EQ(FindStrInFile(S(File("f", head + "NeedlE")), S("nEEDLe"), 0, 0), 1) << pad;
    }
    // A text longer than a block, found across several reads.
    std::string what(150000, 'w');
    what += "end";
    EXPECT_EQ(FindStrInFile(S(File("f", "ab" + std::string(70000, 'w') + what)), S(what), 1, 0), 1);
    EXPECT_EQ(FindStrInFile(S(File("f", "ab " + what + " z")), S(what), 1, 1), 1);
    EXPECT_EQ(FindStrInFile(S(File("f", "ab" + what + " z")), S(what), 1, 1), 0);
    EXPECT_EQ(FindStrInFile(S(File("f", "ab" + what.substr(1) + "x")), S(what), 1, 0), 0);
}

TEST_F(FileContent, FindFileInFile) {
    const std::string first = File("first", "header BODY trailer");
    EXPECT_EQ(FindFileInFile(S(first), S(File("second", "BODY"))), 1);
    EXPECT_EQ(FindFileInFile(S(first), S(File("second", "body"))), 0);
    EXPECT_EQ(FindFileInFile(S(first), S(File("second", ""))), 1);
    EXPECT_EQ(FindFileInFile(S(first), S(dir / "missing")), -1);
    EXPECT_EQ(FindFileInFile(S(first), String()), -1);
    EXPECT_EQ(FindFileInFile(S(dir / "missing"), S(File("second", "x"))), -1);
    // The limit holds even when the file grew after the caller looked at its size.
    int fd = open((dir / "second").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(ftruncate(fd, kMaxFileInFile + 1), 0);
    close(fd);
    EXPECT_EQ(FindFileInFile(S(first), S(dir / "second")), -1);
}

TEST_F(FileContent, GetFileCRC) {
    std::string block(2048, '\0');
    for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(i * 7);
    std::string large(600000, 'q');
    TCRC32 reference;
    struct Case {
        std::string content;
        uint32_t crc;
    } cases[] = {
        {"", 0xFFFFFFFFu},
        {"123456789", 0x340BC6D9u},
        {block, reference.GetBlockCRC(block.data(), 2048)},
        {large, reference.GetBlockCRC(large.data(), static_cast<int>(large.size()))},
    };
    for (const Case& c : cases) {
        uint32_t crc = 0;
        String message("stale");
        EXPECT_TRUE(GetFileCRC(S(File("f", c.content)), crc, message));
        EXPECT_EQ(crc, c.crc) << c.content.size();
        EXPECT_EQ(message.Length(), 0);
    }
}

TEST_F(FileContent, GetFileCRCRefusals) {
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(chmod(File("secret", "x").c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* message;
    } cases[] = {
        {"", "File is not specified"},
        {dir / "missing", "Cannot open file"},
        {dir.path(), "Cannot open file"},
        {dir / "fifo", "Cannot open file"},  // never waits for a writer
        {"/dev/zero", "Cannot open file"},   // would never end
    };
    for (const Case& c : cases) {
        uint32_t crc = 0;
        String message;
        EXPECT_FALSE(GetFileCRC(S(c.path), crc, message)) << c.path;
        EXPECT_EQ(filetest::Str(message), c.message) << c.path;
    }
    const std::string secret = dir / "secret";
    EXPECT_EQ(filetest::RunAsNobody([&] {
                  uint32_t crc = 0;
                  String message;
                  return !GetFileCRC(S(secret), crc, message) &&
                                 filetest::Str(message) == "Cannot open file"
                             ? 0
                             : 2;
              }),
              0);
}

// The register after `count` zero bytes, from `crc`, by squaring the zero-byte operator: the
// expected checksum of a large sparse file without reading gigabytes twice.
uint32_t FeedZeros(uint32_t crc, uint64_t count) {
    using Matrix = std::array<uint32_t, 32>;  // images of the 32 single bits
    auto apply = [](const Matrix& m, uint32_t v) {
        uint32_t r = 0;
        for (int bit = 0; bit < 32; bit++)
            if (v >> bit & 1) r ^= m[bit];
        return r;
    };
    Matrix step;  // one zero bit
    for (int bit = 0; bit < 32; bit++) {
        uint32_t v = 1u << bit;
        step[bit] = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    }
    for (uint64_t bits = count * 8; bits != 0; bits >>= 1) {
        if (bits & 1) crc = apply(step, crc);
        Matrix squared;
        for (int bit = 0; bit < 32; bit++) squared[bit] = apply(step, step[bit]);
        step = squared;
    }
    return crc;
}

// Positions and sizes are 64-bit: a marker after 4 GiB in a 5 GiB sparse file counts.
TEST(FileContentLarge, SparseFile) {
    // In memory when the system offers it: reading holes from some disks is slow.
    filetest::TempDir dir(filetest::MemoryBase());
    const off_t marker = (off_t{4} << 30) + 12345;
    const off_t size = off_t{5} << 30;
    int fd = open((dir / "big").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "M", 1, marker), 1);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);

    uint32_t withMarker = FeedZeros(0xFFFFFFFFu, static_cast<uint64_t>(marker)) ^ 'M';
    for (int bit = 0; bit < 8; bit++)
        withMarker = (withMarker & 1) ? (withMarker >> 1) ^ 0xEDB88320u : withMarker >> 1;
    uint32_t whole = FeedZeros(withMarker, static_cast<uint64_t>(size - marker - 1));

    uint32_t got = 0;
    String message;
    ASSERT_TRUE(GetFileCRC(S(dir / "big"), got, message));
    EXPECT_EQ(got, whole);
}

}  // namespace
