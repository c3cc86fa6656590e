#include "handlers/file_macros.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "file_fixture.h"
#include "fileutils/search.h"

namespace {

using filetest::S;
using filetest::Str;

class FileMacros : public ::testing::Test {
protected:
    void SetUp() override {
        // Folder times are set after their content, which would change them otherwise.
        dir.Dir("backup");
        dir.Dir("backup/old");
        dir.Dir("backup/mid");
        dir.Dir("backup/new");
        dir.File("backup/new/f1", "", 100);
        dir.File("backup/new/f2", "", 50);
        dir.File("backup/new/f3", "", 200);
        dir.File("backup/top", "", 9000);  // newer than every folder: not a folder candidate
        dir.SetTime(dir / "backup/old", 1000);
        dir.SetTime(dir / "backup/mid", 2000);
        dir.SetTime(dir / "backup/new", 3000);

        dir.Dir("log");
        dir.File("log/a.log", "", 1000);
        dir.File("log/B.LOG", "", 2000);
        dir.File("log/.hidden", "", 1500);
        dir.Link("log/link", dir / "log/a.log", 5000);  // newest of all, but a link
        dir.Dir("log/sub.log", 9000);

        dir.Dir("onlydirs");
        dir.Dir("onlydirs/s1");
        dir.Dir("onlydirs/s2");

        // A file dated at the epoch is a candidate like any other, wherever it is listed.
        dir.Dir("epoch");
        dir.File("epoch/zero", "", 0);
        for (int i = 0; i < 10; i++) dir.File("epoch/l" + std::to_string(i), "", 100 + i);
        // Times past 2038 compare as times, not as wrapped 32-bit numbers.
        dir.Dir("y2038");
        dir.File("y2038/before", "", (time_t{1} << 31) - 100);
        dir.File("y2038/after", "", (time_t{1} << 31) + 100);
        dir.Dir("past");
        dir.File("past/zero", "", 0);
        dir.File("past/before", "", -100);
    }
    std::string Macros(const std::string& path) { return Str(GetFileUsingSpecialMacros(S(path))); }
    filetest::TempDir dir;
};

TEST_F(FileMacros, MacrosPickNewestAndOldest) {
    const std::string d = dir.path();
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        // Any case for the macro; the rest of the path keeps its own.
        {d + "/log/%NewestFile%", d + "/log/B.LOG"},
        {d + "/log/%oldestFILE%.gz", d + "/log/a.log.gz"},
        {d + "/backup/%newestfolder%/%oldestfile%", d + "/backup/new/f2"},
        {d + "/backup/%OldestFolder%", d + "/backup/old"},
        {d + "/backup/%newestfile%", d + "/backup/top"},
        {d + "/backup/%newestfolder%/%newestfile%/x", d + "/backup/new/f3/x"},
        // Negative times and the epoch are times like any other.
        {d + "/epoch/%oldestfile%", d + "/epoch/zero"},
        {d + "/epoch/%newestfile%", d + "/epoch/l9"},
        {d + "/y2038/%newestfile%", d + "/y2038/after"},
        {d + "/y2038/%oldestfile%", d + "/y2038/before"},
        {d + "/past/%oldestfile%", d + "/past/before"},
        {d + "/past/%newestfile%", d + "/past/zero"},
    };
    for (const Case& c : cases) EXPECT_EQ(Macros(c.in), c.out) << c.in;
}

TEST_F(FileMacros, PathComesBackUnchangedWhenAMacroFindsNothing) {
    const std::string d = dir.path();
    const std::string unchanged[] = {
        d + "/onlydirs/%newestfile%",
        d + "/backup/%newestfolder%/%newestfolder%",  // the second finds no folder in new/
        d + "/missing/%oldestfile%",
        d + "/log/app-%newestfile%",  // a macro inside a name searches "app-" as a folder
        d + "/log/%newest%file%",
        "",
        std::string("\xE9/%NEWESTFILE", 13),
    };
    for (const std::string& path : unchanged) EXPECT_EQ(Macros(path), path) << path;
}

TEST_F(FileMacros, EntryListedFirstWinsATie) {
    dir.Dir("ties");
    dir.File("ties/t1", "", 500);
    dir.File("ties/t2", "", 500);
    TSearchRec rec;
    ASSERT_EQ(FindFirst(S(dir / "ties"), S("t*"), attrAny, rec), 0);
    std::string first = rec.Name;
    FindClose(rec);
    EXPECT_EQ(Macros(dir / "ties/%newestfile%"), dir / "ties/" + first);
    EXPECT_EQ(Macros(dir / "ties/%oldestfile%"), dir / "ties/" + first);
}

TEST_F(FileMacros, MacroWithoutFolderSearchesTheWorkingDirectory) {
    int rc = filetest::RunInChild([&] {
        if (chdir((dir / "backup/new").c_str()) != 0) return 2;
        return Str(GetFileUsingSpecialMacros(S("%newestfile%"))) == "f3" ? 0 : 3;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(FileMacros, FirstMatchedFile) {
    const std::string d = dir.path();
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {d + "/log/*.log", d + "/log/a.log"},  // sub.log is a folder, link is a link
        {d + "/log/a.log", d + "/log/a.log"},
        {d + "/log/.hid*", d + "/log/.hidden"},
        {d + "/log/*.txt", ""},
        {d + "/log/sub.log", ""},
        {d + "/log/link", ""},
        {d + "/missing/*", ""},
        {d + "/log/", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Str(GetFirstMatchedFile(S(c.in))), c.out) << c.in;

    int rc = filetest::RunInChild([&] {
        if (chdir((dir / "log").c_str()) != 0) return 2;
        return Str(GetFirstMatchedFile(S("B.*"))) == "B.LOG" ? 0 : 3;
    });
    EXPECT_EQ(rc, 0);
}

// Read-only files are found too (the agent may not be able to write what it watches).
TEST_F(FileMacros, ReadOnlyFilesAreCandidates) {
    const std::string d = dir.path();
    int rc = filetest::RunAsNobody([&] {
        if (Str(GetFirstMatchedFile(S(d + "/log/B*"))) != d + "/log/B.LOG") return 2;
        if (Str(GetFileUsingSpecialMacros(S(d + "/log/%newestfile%"))) != d + "/log/B.LOG")
            return 3;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

}  // namespace
