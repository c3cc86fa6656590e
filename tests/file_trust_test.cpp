// Trusted paths: owners and modes of a file and of every folder and link on the way to it, with
// the path at fault and the reason on refusal.
#include "config/file_trust.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "as_nobody.h"
#include "config_fixture.h"

using namespace configtest;
using testing_support::kNobody;

namespace {

struct Verdict {
    bool trusted;
    std::string reason;
};

Verdict Check(const std::string& path, TrustedKind kind = TrustedKind::File, uid_t user = geteuid(),
              struct stat* found = nullptr) {
    String reason;
    bool trusted = IsTrustedPath(String(path.c_str()), kind, user, reason, found);
    return {trusted, Str(reason)};
}

std::string MakeFolder(const std::string& path, mode_t mode) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
}

std::string MakeFile(const std::string& path, mode_t mode) {
    WriteFile(path, "x");
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
}

void GiveToNobody(const std::string& path) {
    ASSERT_EQ(lchown(path.c_str(), kNobody, kNobody), 0) << path;
}

// Changes the working folder for a scope.
struct WorkingFolder {
    explicit WorkingFolder(const std::string& path) {
        EXPECT_NE(getcwd(saved, sizeof saved), nullptr);
        EXPECT_EQ(chdir(path.c_str()), 0);
    }
    ~WorkingFolder() { EXPECT_EQ(chdir(saved), 0); }
    char saved[4096];
};

}  // namespace

// Every case prepares its files in a private folder `d` and names the path to check and the
// verdict: empty for trusted, otherwise the reason with "D" standing for the folder.
TEST(FileTrust, OwnersModesAndLinksOnTheWay) {
    struct Case {
        const char* what;
        bool needsRoot;                                            // gives files to another user
        std::function<std::string(const std::string& d)> prepare;  // returns the path to check
        std::string refusal;
    };
    const Case cases[] = {
        {"a private file", false, [](auto d) { return MakeFile(d + "/f", 0644); }, ""},
        {"a file writable by others", false, [](auto d) { return MakeFile(d + "/f", 0666); },
         "'D/f' is writable by others (mode 0666)"},
        {"a file writable by its group", false, [](auto d) { return MakeFile(d + "/f", 0664); },
         "'D/f' is writable by its group (mode 0664)"},
        {"a folder on the way writable by all", false,
         [](auto d) { return MakeFile(MakeFolder(d + "/open", 0777) + "/f", 0600); },
         "'D/open' is writable by others (mode 0777)"},
        {"a sticky folder on the way", false,
         [](auto d) { return MakeFile(MakeFolder(d + "/sticky", 01777) + "/f", 0600); }, ""},
        {"a file of another user", true,
         [](auto d) {
             std::string f = MakeFile(d + "/f", 0644);
             GiveToNobody(f);
             return f;
         },
         "'D/f' belongs to user 65534, not to root"},
        {"a folder of another user on the way", true,
         [](auto d) {
             std::string folder = MakeFolder(d + "/theirs", 0755);
             GiveToNobody(folder);
             return MakeFile(folder + "/f", 0644);
         },
         "'D/theirs' belongs to user 65534, not to root"},
        {"a link to a private file", false,
         [](auto d) {
             MakeFile(d + "/f", 0644);
             EXPECT_EQ(symlink("f", (d + "/link").c_str()), 0);
             return d + "/link";
         },
         ""},
        {"a link to a file writable by others", false,
         [](auto d) {
             MakeFile(d + "/f", 0666);
             EXPECT_EQ(symlink((d + "/f").c_str(), (d + "/link").c_str()), 0);
             return d + "/link";
         },
         "'D/f' is writable by others (mode 0666)"},
        {"a link of another user in a sticky folder", true,
         [](auto d) {
             MakeFile(d + "/f", 0644);
             std::string link = MakeFolder(d + "/sticky", 01777) + "/link";
             EXPECT_EQ(symlink("../f", link.c_str()), 0);
             GiveToNobody(link);
             return link;
         },
         "'D/sticky/link' belongs to user 65534, not to root"},
        {"a link out of a folder writable by all", false,
         [](auto d) {
             MakeFile(d + "/f", 0644);
             std::string link = MakeFolder(d + "/open", 0777) + "/link";
             EXPECT_EQ(symlink("../f", link.c_str()), 0);
             return link;
         },
         "'D/open' is writable by others (mode 0777)"},
        {"a link into a folder writable by all, then back with ..", false,
         [](auto d) {
             MakeFile(d + "/f", 0644);
             MakeFolder(d + "/open", 0777);
             EXPECT_EQ(symlink("open/..", (d + "/up").c_str()), 0);
             return d + "/up/f";
         },
         "'D/open' is writable by others (mode 0777)"},
        {"a loop of links", false,
         [](auto d) {
             EXPECT_EQ(symlink("b", (d + "/a").c_str()), 0);
             EXPECT_EQ(symlink("a", (d + "/b").c_str()), 0);
             return d + "/a";
         },
         "'D/a' passes through too many symbolic links"},
        {"a missing file", false, [](auto d) { return d + "/missing"; },
         "cannot examine 'D/missing': No such file or directory"},
        {"a file on the way", false, [](auto d) { return MakeFile(d + "/f", 0644) + "/g"; },
         "'D/f' is not a folder"},
        {"a folder", false, [](auto d) { return MakeFolder(d + "/sub", 0755); },
         "'D/sub' is not a regular file"},
    };
    for (const Case& c : cases) {
        if (c.needsRoot && geteuid() != 0) continue;  // only root gives files away; CI runs as root
        TempDir dir;
        std::string path = c.prepare(dir.path());
        std::string expected = c.refusal;
        for (size_t at; (at = expected.find("'D")) != std::string::npos;)
            expected.replace(at + 1, 1, dir.path());
        Verdict verdict = Check(path);
        EXPECT_EQ(verdict.trusted, c.refusal.empty()) << c.what << ": " << verdict.reason;
        EXPECT_EQ(verdict.reason, expected) << c.what;
    }
}

// The temporary folder is a folder the agent writes into: sticky will do, as for /tmp.
TEST(FileTrust, Folders) {
    TempDir dir;
    EXPECT_TRUE(Check(MakeFolder(dir / "private", 0700), TrustedKind::Folder).trusted);
    EXPECT_TRUE(Check(MakeFolder(dir / "sticky", 01777), TrustedKind::Folder).trusted);
    Verdict open = Check(MakeFolder(dir / "open", 0777), TrustedKind::Folder);
    EXPECT_FALSE(open.trusted);
    EXPECT_EQ(open.reason, "'" + dir / "open" + "' is writable by others (mode 0777)");
    EXPECT_EQ(Check(MakeFile(dir / "f", 0600), TrustedKind::Folder).reason,
              "'" + dir / "f" + "' is not a folder");
}

// A relative path starts at the working folder, which is checked with its own folders.
TEST(FileTrust, RelativePathsStartAtTheWorkingFolder) {
    TempDir dir;
    MakeFile(dir / "f", 0644);
    std::string open = MakeFolder(dir / "open", 0777);
    MakeFile(open + "/g", 0644);
    MakeFolder(dir / "private", 0755);
    {
        WorkingFolder here(dir.path());
        EXPECT_TRUE(Check("f").trusted);
        EXPECT_TRUE(Check("./private/../f").trusted);
        // A folder passed on the way counts, even when ".." leaves it again.
        EXPECT_FALSE(Check("open/../f").trusted);
    }
    WorkingFolder there(open);
    EXPECT_EQ(Check("g").reason, "'" + open + "' is writable by others (mode 0777)");
}

// The other trusted owner besides root: files of that user pass, anyone else's still fail.
TEST(FileTrust, SecondTrustedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "only root gives files away; CI runs as root";
    TempDir dir;
    std::string f = MakeFile(dir / "f", 0644);
    GiveToNobody(f);
    EXPECT_TRUE(Check(f, TrustedKind::File, kNobody).trusted);
    EXPECT_EQ(Check(f, TrustedKind::File, 1234).reason,
              "'" + f + "' belongs to user 65534, neither root nor user 1234");
    struct stat found {};
    struct stat direct {};
    ASSERT_TRUE(Check(f, TrustedKind::File, kNobody, &found).trusted);
    ASSERT_EQ(stat(f.c_str(), &direct), 0);
    EXPECT_EQ(found.st_ino, direct.st_ino);
}

// An open file is trusted only while its path still names it.
TEST(FileTrust, OpenFileStillNamedByItsPath) {
    TempDir dir;
    std::string f = MakeFile(dir / "f", 0644);
    int fd = open(f.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    String reason;
    EXPECT_TRUE(IsTrustedOpenFile(fd, String(f.c_str()), geteuid(), reason)) << Str(reason);
    ASSERT_EQ(rename(MakeFile(dir / "g", 0644).c_str(), f.c_str()), 0);
    EXPECT_FALSE(IsTrustedOpenFile(fd, String(f.c_str()), geteuid(), reason));
    EXPECT_EQ(Str(reason), "'" + f + "' was replaced while it was read");
    close(fd);
}

// A script and the folder its output goes to.
TEST(FileTrust, ScriptAndTemporaryFolder) {
    TempDir dir;
    std::string script = MakeFile(dir / "count.sh", 0755);
    std::string tmp = MakeFolder(dir / "tmp", 0700);
    String reason;
    EXPECT_TRUE(ScriptMayRun(String(script.c_str()), String(tmp.c_str()), reason)) << Str(reason);
    EXPECT_TRUE(ScriptMayRun(String(script.c_str()), String(), reason)) << Str(reason);
    // A missing folder fails later, when no output file can be made in it, unless someone else
    // could make it first.
    EXPECT_TRUE(ScriptMayRun(String(script.c_str()), String((tmp + "/gone").c_str()), reason));
    EXPECT_EQ(Str(reason), "");
    std::string open = MakeFolder(dir / "open", 0777);
    EXPECT_FALSE(ScriptMayRun(String(script.c_str()), String((open + "/gone").c_str()), reason));
    chmod(tmp.c_str(), 0777);
    EXPECT_FALSE(ScriptMayRun(String(script.c_str()), String(tmp.c_str()), reason));
    EXPECT_EQ(Str(reason), "'" + tmp + "' is writable by others (mode 0777)");
    chmod(script.c_str(), 0757);
    EXPECT_FALSE(ScriptMayRun(String(script.c_str()), String(tmp.c_str()), reason));
    EXPECT_EQ(Str(reason), "'" + script + "' is writable by others (mode 0757)");
}
