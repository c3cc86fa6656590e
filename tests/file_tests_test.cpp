#include "handlers/file_tests.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "config_fixture.h"
#include "file_fixture.h"
#include "handlers/file_list.h"

namespace {

using filetest::S;
using filetest::Str;
using Handler = void (*)(const ZPRequest&, QDXReply&);

// The reply text of `handler` for a request carrying `params`, one per line; the failure-log note
// it left goes to `note` when given.
std::string Call(Handler handler, const std::vector<std::string>& params,
                 std::string* note = nullptr) {
    std::string text;
    for (const std::string& p : params) text += p + "\n";
    text += "\r";
    ZPRequest request;
    request = S(text);
    QDXReply reply;
    reply.InitPacket(nullptr, String());
    handler(request, reply);
    if (note != nullptr) *note = Str(reply.FailureNote());
    return Str(reply.Text());
}

// Every file test switch on, as in a default configuration.
class FileTests : public ::testing::Test {
protected:
    void SetUp() override {
        TQDXSettings settings = *CurrentSettings();
        settings.unc = settings.foldersize = settings.fileexists = settings.comparefiles =
            settings.filecrc = settings.countfiles = settings.textlog = 1;
        PublishSettings(settings);
    }
    configtest::SettingsGuard guard;
    filetest::TempDir dir;
};

TEST_F(FileTests, EachTestAnswers600WhenItsSwitchIsOff) {
    struct Case {
        Handler handler;
        int TQDXSettings::*testSwitch;
    } cases[] = {
        {ProcessTest_UNC, &TQDXSettings::unc},
        {ProcessTest_FolderSize, &TQDXSettings::foldersize},
        {ProcessTest_FileExists, &TQDXSettings::fileexists},
        {ProcessTest_FileCompare, &TQDXSettings::comparefiles},
        {ProcessTest_FileCRC, &TQDXSettings::filecrc},
        {ProcessTest_CountFiles, &TQDXSettings::countfiles},
    };
    for (const Case& c : cases) {
        TQDXSettings settings = *CurrentSettings();
        settings.*c.testSwitch = 0;
        PublishSettings(settings);
        EXPECT_EQ(Call(c.handler, {dir.path(), "1", "0"}), "600\ntest is not allowed");
        settings.*c.testSwitch = 1;
        PublishSettings(settings);
        EXPECT_NE(Call(c.handler, {dir.path(), "1", "0"}).substr(0, 3), "600");
    }
}

TEST_F(FileTests, UNC) {
    std::string root = Call(ProcessTest_UNC, {"/"});
    ASSERT_EQ(root.substr(0, 4), "200\n") << root;
    EXPECT_EQ(std::count(root.begin(), root.end(), '\n'), 4);
    // A trailing backslash is dropped: the same file system as without it.
    std::string usr = Call(ProcessTest_UNC, {"/usr\\"});
    EXPECT_EQ(usr.substr(0, usr.find('\n', 4)),
              Call(ProcessTest_UNC, {"/usr"}).substr(0, usr.find('\n', 4)));

    EXPECT_EQ(Call(ProcessTest_UNC, {dir / "missing"}), "301\nNo such file or directory\n");
    EXPECT_EQ(Call(ProcessTest_UNC, {"\\"}), "301\nNo such file or directory\n");
    EXPECT_EQ(Call(ProcessTest_UNC, {""}), "501\nPath not specified");
    EXPECT_EQ(Call(ProcessTest_UNC, {}), "501\nPath not specified");
}

TEST_F(FileTests, FolderSize) {
    dir.Dir("data");
    dir.File("data/a.log", std::string(10, 'a'));
    dir.Dir("data/sub");
    dir.File("data/sub/b.log", std::string(200000, 'b'));
    dir.File("data/sub/new", "", 3000);
    dir.File("data/sub/old", "xyz", 1000);
    const std::string d = dir / "data";
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{d}, "200\n    10\n"},
        {{d, "1"}, "200\n200013\n"},
        {{d + "/*.log", "1"}, "200\n200010\n"},
        {{d + "/gone"}, "200\n     0\n"},
        {{d + "/missing/x"}, "301\nFolder/File doesn`t exist or access denied"},
        {{""}, "301\nFolder/File doesn`t exist or access denied"},
        // Parameter 8 passes the path through the macros.
        {{d + "/sub/%OldestFile%", "", "", "", "", "", "", "1"}, "200\n     3\n"},
        {{d + "/sub/%OldestFile%", "", "", "", "", "", "", "0"}, "200\n     0\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Call(ProcessTest_FolderSize, c.params), c.reply) << c.params[0];
}

TEST_F(FileTests, FileExists) {
    dir.Dir("log");
    const time_t modified = time(nullptr) - 3 * 60 - 30;
    const std::string app = dir.File("log/app1.log", "12345", modified);
    dir.File("log/other.txt", "", 1000);
    dir.Link("log/link", dir / "log/nowhere", 2000);
    struct stat st;
    ASSERT_EQ(lstat(app.c_str(), &st), 0);
    const std::string fields = "     5\n" + filetest::LocalStamp(st.st_ctime) + "\n" +
                               filetest::LocalStamp(modified) + "\n" + app + "\nmin\n3\n";
    EXPECT_EQ(Call(ProcessTest_FileExists, {app}), "200\n" + fields);
    // The wildcard form names the file actually examined.
    EXPECT_EQ(Call(ProcessTest_FileExists, {dir / "log/app*.log"}), "200\n" + fields);
    EXPECT_EQ(Call(ProcessTest_FileExists, {dir / "log/%newestfile%", "", "", "", "", "", "1"}),
              "200\n" + fields);

    // A link is itself the file, even one pointing nowhere.
    std::string link = Call(ProcessTest_FileExists, {dir / "log/link"});
    EXPECT_EQ(link.substr(0, 4), "200\n") << link;
    EXPECT_NE(link.find("\n" + filetest::LocalStamp(2000) + "\n" + dir / "log/link" + "\nmin\n"),
              std::string::npos)
        << link;

    // A name found by the wildcard may hold a line break: it travels escaped, on one line.
    dir.Dir("odd");
    dir.File("odd/x\ny.log", "", 1000);
    std::string odd = Call(ProcessTest_FileExists, {dir / "odd/x*"});
    EXPECT_NE(odd.find("\n" + dir / "odd/x%0Ay.log" + "\nmin\n"), std::string::npos) << odd;

    // Times after 2038 come out as they are.
    const time_t in2100 = 4102444800;
    dir.File("log/future", "", in2100);
    std::string future = Call(ProcessTest_FileExists, {dir / "log/future"});
    EXPECT_NE(future.find("\n" + filetest::LocalStamp(in2100) + "\n"), std::string::npos) << future;
    const long age = std::stol(future.substr(future.rfind("min\n") + 4));
    EXPECT_NEAR(age, (time(nullptr) - in2100) / 60, 1);  // negative, in whole minutes

    for (const std::string& missing : {dir / "log/app*.txt", dir / "nothing", std::string()})
        EXPECT_EQ(Call(ProcessTest_FileExists, {missing}), "301\nno such file or acess denied");
}

TEST_F(FileTests, FileCompare) {
    const std::string a = dir.File("a", "abcdef", 1000);
    const std::string b = dir.File("b", "abcdef", 1000);
    const std::string c = dir.File("c", "abcxyz", 2000);
    const std::string p = dir.File("prefix", "abc", 1000);
    const std::string t = dir.File("text", "a log. catalog");
    const std::string e = dir.File("empty", "");
    const std::string big = dir.File("big", "");
    ASSERT_EQ(truncate(big.c_str(), 8388609), 0);
    const std::string limit = dir.File("limit", "");
    ASSERT_EQ(truncate(limit.c_str(), 8388608), 0);
    const std::string missing = dir / "missing";
    const std::string ok1 = "200\n1\n", ok0 = "200\n0\n";
    const std::string noFile = "301\nFile doesn`t exist", wrong = "501\nWrong parameter";
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{"1", a, b}, ok1},  // no criterion: both exist
        {{"1", a, c, "1"}, ok0},
        {{"1", a, b, "1", "1", "1"}, ok1},
        {{"1", a, c, "0", "1"}, ok1},  // equal sizes suffice
        {{"1", a, c, "0", "1", "1"}, ok0},
        {{"1", a, p, "0", "0", "1"}, ok1},  // only the common length is compared
        {{"1", a, p, "0", "1", "1"}, ok0},
        {{"1", a, missing, "0", "0", "1"}, noFile},
        {{"1", missing, a}, noFile},
        {{"1", a, dir.path()}, noFile},
        {{"2", t, dir.File("needle", "log.")}, ok1},
        {{"2", t, dir.File("needle2", "LOG")}, ok0},
        {{"2", t, e}, ok1},
        {{"2", t, big}, "301\nThe size of the second file cannot exceed 8Mb"},
        {{"2", t, limit}, ok0},
        {{"2", t, missing}, noFile},
        {{"3", t, "log", "1", "1"}, ok1},
        {{"3", dir.File("cat", "catalog"), "log", "1", "1"}, ok0},
        {{"3", t, "LOG", "0", "0"}, ok1},
        {{"3", t, "LOG", "1", "0"}, ok0},
        {{"3", t, ""}, "301\nI/O Error"},
        {{"4", a, b}, wrong},
        {{"5", a, b}, wrong},
        {{"4", missing, b}, noFile},
        {{"", a}, wrong},
    };
    for (const Case& k : cases) {
        std::string where = k.params[0] + " " + k.params[1];
        EXPECT_EQ(Call(ProcessTest_FileCompare, k.params), k.reply) << where;
    }
}

// An empty second file is found before it is opened: unreadable, it answers as any empty file.
TEST_F(FileTests, FileCompareEmptySecondFileIsNotOpened) {
    const std::string text = dir.File("text", "a log");
    const std::string empty = dir.File("empty", "");
    ASSERT_EQ(chmod(empty.c_str(), 0), 0);
    EXPECT_EQ(filetest::RunAsNobody([&] {
                  return Call(ProcessTest_FileCompare, {"2", text, empty}) == "200\n1\n" ? 0 : 2;
              }),
              0);
}

// A file dated before year 1 or after year 9999 is reported at the nearest time the 14 digits
// hold, and its age is counted from that time.
TEST_F(FileTests, FileExistsDatesBeyondFourDigitYears) {
    filetest::TempDir memory(filetest::MemoryBase());
    struct Case {
        time_t mtime;
        const char* stamp;
    } cases[] = {
        {253402300800 + 86400 * 400, "31129999235959"},
        {-62135596800 - 86400 * 400, "01010001000000"},
    };
    for (const Case& c : cases) {
        const std::string path = memory.File("far", "");
        timespec times[2] = {{c.mtime, 0}, {c.mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        if (st.st_mtime != c.mtime) {
            GTEST_SKIP() << "the file system here cannot hold such a time";
        }
        const std::string reply = Call(ProcessTest_FileExists, {path});
        const std::string sent = "\n" + std::string(c.stamp) + "\n" + path + "\nmin\n";
        ASSERT_NE(reply.find(sent), std::string::npos) << reply;
        const long long age = std::stoll(reply.substr(reply.rfind("min\n") + 4));
        const long long expected = (time(nullptr) - ClampToWireTime(c.mtime)) / 60;
        EXPECT_NEAR(static_cast<double>(age), static_cast<double>(expected), 1);
        EXPECT_GT(std::abs(age), 1000000000LL) << "far beyond what a cut value would show";
    }
}

// Each mode reads its two macro flags from its own positions.
TEST_F(FileTests, FileCompareMacroFlags) {
    dir.Dir("m");
    dir.File("m/first", "same", 1000);
    dir.File("m/second", "same", 2000);
    const std::string newest = dir / "m/%newestfile%", oldest = dir / "m/%oldestfile%";
    auto params = [](std::vector<std::string> head, int flag1, int flag2) {
        head.resize(13);
        if (flag1) head[flag1 - 1] = "1";
        if (flag2) head[flag2 - 1] = "1";
        return head;
    };
    EXPECT_EQ(Call(ProcessTest_FileCompare, params({"1", oldest, newest, "1"}, 12, 13)),
              "200\n0\n");
    EXPECT_EQ(Call(ProcessTest_FileCompare, params({"1", oldest, newest}, 11, 12)),
              "301\nFile doesn`t exist");
    EXPECT_EQ(Call(ProcessTest_FileCompare, params({"2", oldest, dir / "m/second"}, 9, 0)),
              "200\n1\n");
    // The second file of mode 2 is never expanded.
    EXPECT_EQ(Call(ProcessTest_FileCompare, params({"2", oldest, newest}, 9, 10)),
              "301\nFile doesn`t exist");
    EXPECT_EQ(Call(ProcessTest_FileCompare, params({"3", newest, "same"}, 11, 0)), "200\n1\n");
    EXPECT_EQ(Call(ProcessTest_FileCompare, params({"4", newest, newest}, 12, 13)),
              "501\nWrong parameter");
}

TEST_F(FileTests, FileCRC) {
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    struct Case {
        std::string path;
        std::string reply;
    } cases[] = {
        {dir.File("empty", ""), "200\n4294967295\n"},
        {dir.File("digits", "123456789"), "200\n873187033\n"},
        {"", "301\nFile is not specified"},
        {dir / "missing", "301\nCannot open file"},
        {dir / "fifo", "301\nCannot open file"},
    };
    for (const Case& c : cases) EXPECT_EQ(Call(ProcessTest_FileCRC, {c.path}), c.reply) << c.path;
}

TEST_F(FileTests, CountFiles) {
    dir.Dir("c");
    dir.File("c/a.log", std::string(10, 'a'));
    dir.File("c/b.log", "");
    dir.Dir("c/sub");
    dir.File("c/sub/c.log", "");
    dir.Dir("empty");
    const std::string c = dir / "c";
    struct Case {
        std::vector<std::string> params;
        std::string reply;
    } cases[] = {
        {{c, "*.log", "0", "0", "0"}, "200\n2\n"},
        {{c, "*.log", "1", "0", "0"}, "200\n3\n"},
        {{c, "*", "0", "5", "0"}, "200\n1\n"},
        {{c, "*", "0", "3", "5"}, "200\n1\n"},
        {{c, "*", "0", "x", "5"}, "200\n2\n"},  // a mode that is no number reads as 0
        {{c, "*", "0", "0", ""}, "200\n2\n"},
        {{c, "*", "0", "6", "0"}, "501\nWrong parameter"},
        {{c, "*", "0", "-1", "0"}, "501\nWrong parameter"},
        {{c, "*", "0", "0", "x"}, "501\nWrong parameter"},
        {{c, "*", "0", "0", "1x"}, "501\nWrong parameter"},
        {{dir / "empty", "*", "0", "0", "0"}, "200\n0\n"},
        {{dir / "missing", "*", "0", "0", "0"}, "301\nFolder doesn`t exist or access denied"},
        {{dir / "missing", "*", "1", "0", "0"}, "301\nFolder doesn`t exist or access denied"},
        {{"", "*", "0", "0", "0"}, "301\nFolder doesn`t exist or access denied"},
        {{dir / "%newestfolder%", "*", "0", "0", "0", "", "", "", "", "", "1"}, "200\n0\n"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(Call(ProcessTest_CountFiles, k.params), k.reply)
            << k.params[0] << " " << k.params[1] << " " << k.params[3] << " " << k.params[4];
}

// A walk that cannot go on because the agent ran out of descriptors keeps its reply; the failure
// log gets the real reason. Other failures (a missing folder) leave no note.
TEST_F(FileTests, WalkOutOfDescriptorsNotesTheReason) {
    dir.Dir("w");
    dir.File("w/a", "x");
    const std::string w = dir / "w";
    std::string note;
    EXPECT_EQ(Call(ProcessTest_FolderSize, {dir / "missing/x"}, &note),
              "301\nFolder/File doesn`t exist or access denied");
    EXPECT_EQ(note, "");
    pid_t pid = fork();
    if (pid == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 64;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
        while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
        }
        std::string sizeNote, countNote;
        std::string size = Call(ProcessTest_FolderSize, {w}, &sizeNote);
        std::string count = Call(ProcessTest_CountFiles, {w, "*", "1", "0", "0"}, &countNote);
        if (size != "301\nFolder/File doesn`t exist or access denied") _exit(11);
        if (count != "301\nFolder doesn`t exist or access denied") _exit(12);
        if (sizeNote != "Cannot walk '" + w + "': Too many open files") _exit(13);
        if (countNote != "Cannot walk '" + w + "': Too many open files") _exit(14);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
