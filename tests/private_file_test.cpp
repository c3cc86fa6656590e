// Private files under fixed names in a shared folder: planted links and foreign files are
// replaced, never written through; unsafe folders are refused.
#include "fileutils/private_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "as_nobody.h"
#include "config_fixture.h"

using namespace configtest;
using testing_support::kNobody;
using testing_support::RunAsNobody;

namespace {

struct Created {
    int result;
    std::string path;
    std::string message;
};

Created Create(const std::string& folder, unsigned mode = 0600) {
    String path, message;
    int fd = CreatePrivateFile(String(folder.c_str()), "qdx__.upd", mode, path, message);
    if (fd >= 0) close(fd);
    return {fd >= 0 ? 0 : fd, Str(path), Str(message)};
}

}  // namespace

// Whatever holds the name is removed and a new file of ours takes its place; what a planted link
// pointed at, or what a file held (seen through a second name), is never written.
TEST(PrivateFile, ReplacesWhatHoldsTheName) {
    struct Case {
        const char* what;
        std::function<void(const std::string& dir)> plant;
    };
    auto plantFile = [](const std::string& dir, uid_t owner) {
        std::string name = dir + "/qdx__.upd";
        WriteFile(name, "planted");
        chmod(name.c_str(), 0666);
        if (owner != geteuid()) {
            ASSERT_EQ(chown(name.c_str(), owner, owner), 0);
        }
        ASSERT_EQ(link(name.c_str(), (dir + "/witness").c_str()), 0);
    };
    const Case cases[] = {
        {"nothing", [](const std::string&) {}},
        {"a leftover of ours", [&](const std::string& dir) { plantFile(dir, geteuid()); }},
        {"a file of another user",
         [&](const std::string& dir) { plantFile(dir, geteuid() == 0 ? kNobody : geteuid()); }},
        {"a symbolic link to a file",
         [](const std::string& dir) {
             ASSERT_EQ(symlink((dir + "/target").c_str(), (dir + "/qdx__.upd").c_str()), 0);
         }},
        {"a dangling symbolic link",
         [](const std::string& dir) {
             ASSERT_EQ(symlink((dir + "/absent").c_str(), (dir + "/qdx__.upd").c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "target", "keep");
        c.plant(dir.path());

        Created made = Create(dir.path(), 0700);
        ASSERT_EQ(made.result, 0) << made.message;
        EXPECT_EQ(made.path, dir / "qdx__.upd");
        struct stat after {};
        ASSERT_EQ(lstat(made.path.c_str(), &after), 0);
        EXPECT_TRUE(S_ISREG(after.st_mode));
        EXPECT_EQ(after.st_uid, geteuid());
        EXPECT_EQ(after.st_mode & 07777, 0700u);
        EXPECT_EQ(after.st_size, 0);
        EXPECT_EQ(after.st_nlink, 1u);  // not the planted file under its old name
        EXPECT_EQ(ReadFile(dir / "target"), "keep");
        EXPECT_FALSE(Exists(dir / "absent"));
        if (Exists(dir / "witness")) {
            EXPECT_EQ(ReadFile(dir / "witness"), "planted");
        }
    }
}

TEST(PrivateFile, ModeIsAppliedWhateverTheUmask) {
    TempDir dir;
    mode_t saved = umask(0777);
    Created made = Create(dir.path(), 0700);
    umask(saved);
    ASSERT_EQ(made.result, 0) << made.message;
    struct stat info {};
    ASSERT_EQ(stat(made.path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
}

// A folder where someone else could swap the file after it is written is refused.
TEST(PrivateFile, RefusesUnsafeFolders) {
    struct Case {
        const char* what;
        std::function<void(const std::string& dir)> prepare;
        int result;
        const char* message;
    };
    const Case cases[] = {
        {"sticky and writable by all", [](const std::string& d) { chmod(d.c_str(), 01777); }, 0,
         ""},
        {"writable by all, not sticky", [](const std::string& d) { chmod(d.c_str(), 0777); },
         kPrivateFileUnsafe, "is writable by other users and not sticky"},
        {"writable by the group, not sticky", [](const std::string& d) { chmod(d.c_str(), 0770); },
         kPrivateFileUnsafe, "is writable by other users and not sticky"},
        {"the name is a folder",
         [](const std::string& d) { mkdir((d + "/qdx__.upd").c_str(), 0700); }, kPrivateFileUnsafe,
         "is a folder"},
        {"missing folder", [](const std::string& d) { rmdir(d.c_str()); }, kPrivateFileFailed,
         "cannot open folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir parent;
        std::string dir = parent / "shared";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        c.prepare(dir);
        Created made = Create(dir);
        EXPECT_EQ(made.result, c.result);
        EXPECT_NE(made.message.find(c.message), std::string::npos) << made.message;
    }
}

TEST(PrivateFile, RefusesAFolderOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
    TempDir parent;
    std::string dir = parent / "shared";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
    Created made = Create(dir);
    EXPECT_EQ(made.result, kPrivateFileUnsafe);
    EXPECT_NE(made.message.find("belongs to another user"), std::string::npos) << made.message;
}

// In a sticky folder an unprivileged agent cannot remove another user's file: it refuses rather
// than write into it.
TEST(PrivateFile, UnprivilegedRefusesAForeignFileInAStickyFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    TempDir parent;
    chmod(parent.path().c_str(), 0755);
    std::string dir = parent / "shared";
    ASSERT_EQ(mkdir(dir.c_str(), 01777), 0);
    chmod(dir.c_str(), 01777);
    WriteFile(dir + "/qdx__.upd", "root's");
    chmod((dir + "/qdx__.upd").c_str(), 0666);

    int code = RunAsNobody([&] {
        Created made = Create(dir);
        if (made.result != kPrivateFileUnsafe) return 1;
        return made.message.find("cannot remove the existing") != std::string::npos ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(dir + "/qdx__.upd"), "root's");
}

// Every folder from the root down is checked, and the file is named by the path resolved for the
// check, so no link on the way can redirect it afterwards.
TEST(PrivateFile, ChecksEveryFolderFromTheRootAndResolvesLinks) {
    struct Case {
        const char* what;
        // Makes the folder chain under `top`; returns the folder to create the file in.
        std::function<std::string(const std::string& top)> prepare;
        int result;
        const char* message;  // with "<top>" for the test's folder
        const char* path;     // where the file is, for a success
    };
    const Case cases[] = {
        {"a parent writable by all, not sticky",
         [](const std::string& top) {
             chmod(top.c_str(), 0777);
             mkdir((top + "/own").c_str(), 0700);
             return top + "/own";
         },
         kPrivateFileUnsafe, "folder '<top>' is writable by other users and not sticky", ""},
        {"a parent writable by all, sticky",
         [](const std::string& top) {
             chmod(top.c_str(), 01777);
             mkdir((top + "/own").c_str(), 0700);
             return top + "/own";
         },
         0, "", "<top>/own/qdx__.upd"},
        {"a link and a dot-dot on the way",
         [](const std::string& top) {
             mkdir((top + "/real").c_str(), 0700);
             mkdir((top + "/real/sub").c_str(), 0700);
             symlink((top + "/real").c_str(), (top + "/link").c_str());
             return top + "/link/sub/../sub";
         },
         0, "", "<top>/real/sub/qdx__.upd"},
        {"a link to a folder writable by all",
         [](const std::string& top) {
             mkdir((top + "/open").c_str(), 0700);
             chmod((top + "/open").c_str(), 0777);
             symlink((top + "/open").c_str(), (top + "/link").c_str());
             return top + "/link";
         },
         kPrivateFileUnsafe, "folder '<top>/open' is writable by other users", ""},
    };
    auto fill = [](std::string text, const std::string& top) {
        size_t at = text.find("<top>");
        return at == std::string::npos ? text : text.replace(at, 5, top);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        char* real = realpath(dir.path().c_str(), nullptr);
        ASSERT_NE(real, nullptr);
        const std::string top = std::string(real) + "/top";
        free(real);
        ASSERT_EQ(mkdir(top.c_str(), 0700), 0);
        Created made = Create(c.prepare(top));
        EXPECT_EQ(made.result, c.result) << made.message;
        EXPECT_NE(made.message.find(fill(c.message, top)), std::string::npos) << made.message;
        if (c.result == 0) {
            EXPECT_EQ(made.path, fill(c.path, top));
            EXPECT_TRUE(Exists(made.path));
        }
    }
}

TEST(PrivateFile, RefusesAParentOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder away";
    TempDir dir;
    std::string parent = dir / "theirs";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((parent + "/own").c_str(), 0700), 0);
    ASSERT_EQ(chown(parent.c_str(), kNobody, kNobody), 0);
    Created made = Create(parent + "/own");
    EXPECT_EQ(made.result, kPrivateFileUnsafe);
    EXPECT_NE(made.message.find("'" + parent + "' belongs to another user"), std::string::npos)
        << made.message;
}
