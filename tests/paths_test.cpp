#include "fileutils/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "fileutils/char_hooks.h"
#include "fileutils/file_facts.h"

namespace {

std::string Str(const String& s) {
    return std::string(s.Data() ? s.Data() : "", s.Length());
}

using PathFunction = String (*)(const String&);

TEST(Paths, SplittingAndJoining) {
    struct Case {
        const char* name;
        PathFunction function;
        const char* in;
        const char* out;
    } cases[] = {
        {"path", ExtractFilePath, "/var/log/x.log", "/var/log/"},
        {"path", ExtractFilePath, "x.log", ""},
        {"path", ExtractFilePath, "/", "/"},
        {"name", ExtractFileName, "/var/log/x.log", "x.log"},
        {"name", ExtractFileName, "x.log", "x.log"},
        {"name", ExtractFileName, "/var/log/", ""},
        {"ext", ExtractFileExt, "/var/log/x.log", ".log"},
        {"ext", ExtractFileExt, "/var/a.b/c", ""},
        {"ext", ExtractFileExt, "archive.tar.gz", ".gz"},
        {"ext", ExtractFileExt, "/var/log/x.", "."},
        {"include", IncludeTrailingPathDelimiter, "", "/"},
        {"include", IncludeTrailingPathDelimiter, "/a", "/a/"},
        {"include", IncludeTrailingPathDelimiter, "/a/", "/a/"},
        {"exclude", ExcludeTrailingPathDelimiter, "/a//", "/a/"},
        {"exclude", ExcludeTrailingPathDelimiter, "/", ""},
        {"exclude", ExcludeTrailingPathDelimiter, "/a", "/a"},
        {"tilde", ExpandTilde, "~/x", "~/x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Str(c.function(c.in)), c.out) << c.name << " of '" << c.in << "'";
}

TEST(Paths, FileNameIsCutAt4095Bytes) {
    std::string longName(5000, 'n');
    EXPECT_EQ(ExtractFileName(("/d/" + longName).c_str()).Length(), 4095);
}

TEST(Paths, Delimiters) {
    String s("/a.b/c");
    EXPECT_TRUE(IsPathDelimiter(s, 1));
    EXPECT_FALSE(IsPathDelimiter(s, 2));
    EXPECT_FALSE(IsPathDelimiter(s, 0));
    EXPECT_FALSE(IsPathDelimiter(s, 7));
    EXPECT_TRUE(IsDelimiter("./", s, 3));
    EXPECT_FALSE(IsDelimiter("./", s, 99));
    EXPECT_EQ(LastDelimiter("./", s), 5);
    EXPECT_EQ(LastDelimiter(".", s), 3);
    EXPECT_EQ(LastDelimiter("x", s), 0);
    EXPECT_EQ(LastDelimiter("/", String()), 0);
}

TEST(Paths, ExpandFileNameNormalises) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"/a/b/../c", "/a/c"},
        {"/a/./b", "/a/b"},
        {"/a//b", "/a/b"},
        {"/a/b/.", "/a/b"},
        {"/a/..", ""},
        {"/../x", "/../x"},
        {"~/x", "~/x"},
        {"", ""},
        {"/a/b/..", "/a"},
        {"/a/./../b", "/b"},
        {"/a/.../b", "/a/.../b"},
        {"/a/.b/c", "/a/.b/c"},
        {"/", "/"},
        {"/a/b/c/../../d", "/a/d"},
    };
    for (const Case& c : cases) EXPECT_EQ(Str(ExpandFileName(c.in)), c.out) << c.in;
}

TEST(Paths, ExpandFileNameTakesRelativeNamesInTheWorkingDirectory) {
    String cwd = GetCurrentDir();
    ASSERT_GT(cwd.Length(), 0);
    EXPECT_EQ(Str(ExpandFileName("x/./y")), Str(IncludeTrailingPathDelimiter(cwd) + "x/y"));
}

TEST(CharHooks, EveryCharacterIsOneByte) {
    char text[] = "abcabc";
    char sub[] = "ca";
    char none[] = "zz";
    EXPECT_FALSE(isLeadByte('\xC3'));
    EXPECT_EQ(StrCharLength("\xC3\xA9"), 1);
    EXPECT_EQ(ByteType(String("\xC3\xA9"), 1), 0);
    EXPECT_EQ(StrNextChar(text), text + 1);
    EXPECT_EQ(AnsiStrPos(text, sub), text + 2);
    EXPECT_EQ(AnsiPos(sub, text), 3);
    EXPECT_EQ(AnsiPos(none, text), 0);
}

}  // namespace
