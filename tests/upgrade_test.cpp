// Self-upgrade: the reservation, UpgradeCode's size bounds, the transfer with its trailer in
// every read pattern, the failures and what they leave behind, the transfer over a socket with its
// idle bound, and the install script's text and behaviour.
#include "agent/upgrade.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "agent/flags.h"
#include "agent/upgrade_script.h"
#include "as_nobody.h"
#include "config_fixture.h"
#include "foundation/md5.h"
#include "protocol/packet.h"

using namespace configtest;

namespace {

const String kKey("session-key-0123", 16);

String Bytes(const std::string& s) {
    return String(s.data(), static_cast<int>(s.size()));
}

std::string Executable(size_t size) {
    std::string exe;
    for (size_t i = 0; i < size; i++) exe += static_cast<char>('A' + (i * 7) % 26);
    return exe;
}

std::string Trailer(const std::string& exe, const String& key = kKey, bool corrupt = false) {
    MD5Context md5;
    MD5Open(&md5);
    MD5Digest(&md5, exe.data(), static_cast<unsigned>(exe.size()));
    unsigned char digest[16];
    MD5Close(&md5, digest);
    if (corrupt) digest[5] ^= 0x10;
    String sent = EncodeData(String(reinterpret_cast<const char*>(digest), 16), key, 0);
    return Str(sent);
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A temporary folder and an installed agent, in force as "tmpdir" and "qdxpath"; the process-wide
// upgrade state is clear before and after.
class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFlags();
        ASSERT_EQ(mkdir(TmpDir().c_str(), 0700), 0);
        ASSERT_EQ(mkdir((dir_ / "bin").c_str(), 0755), 0);
        WriteFile(QdxPath(), "old agent");
        chmod(QdxPath().c_str(), 0751);
        TQDXSettings next = *CurrentSettings();
        next.tmpdir = TmpDir().c_str();
        next.qdxpath = QdxPath().c_str();
        PublishSettings(next);
    }
    void TearDown() override { ResetFlags(); }

    static void ResetFlags() {
        QDXFlags.upgrading.store(0);
        std::lock_guard<std::mutex> lock(thread_mutex);
        QDXFlags.upgradescript = "";
    }

    std::string TmpDir() const { return dir_ / "tmp"; }
    std::string QdxPath() const { return dir_ / "bin/qdx"; }
    std::string TempExe() const { return TmpDir() + "/qdx__.upd"; }
    std::string Script() const { return TmpDir() + "/qdxupd__.sh"; }

    // Starts a transfer of `size` bytes as UpgradeCode does.
    void Start(UpgradeRec& upgrade, int64_t size) {
        ASSERT_TRUE(RequestUpgrade(upgrade, kKey));
        upgrade.size = size;
        upgrade.sizeset = 1;
        String message;
        ASSERT_TRUE(DoUpgrading(upgrade, nullptr, 0, message)) << Str(message);
    }

    // Feeds the reads in turn until the transfer ends; returns the last result and message.
    bool Feed(UpgradeRec& upgrade, const std::vector<std::string>& reads, std::string& message) {
        bool ok = true;
        for (const std::string& read : reads) {
            if (!upgrade.active) break;
            String text;
            ok = DoUpgrading(upgrade, read.data(), static_cast<int>(read.size()), text);
            message = Str(text);
        }
        return ok;
    }

    QDXReply UpgradeCode(UpgradeRec& upgrade, const std::string& size) {
        ZPRequest request;
        request = Bytes(size + "\n");
        QDXReply reply;
        SessionContext session{ThreadParams{-1, in_addr{}}, kKey, upgrade};
        ProcessUpgradeCode(request, reply, session);
        return reply;
    }

    void ExpectReleasedAndClean() {
        EXPECT_EQ(QDXFlags.upgrading.load(), 0);
        EXPECT_FALSE(Exists(TempExe()));
        EXPECT_FALSE(Exists(Script()));
        std::lock_guard<std::mutex> lock(thread_mutex);
        EXPECT_EQ(QDXFlags.upgradescript.Length(), 0);
    }

    SettingsGuard settings_;
    TempDir dir_;
};

TEST_F(UpgradeTest, OneReservationInTheProcess) {
    UpgradeRec first, second;
    EXPECT_TRUE(RequestUpgrade(first, kKey));
    EXPECT_EQ(first.active, 1);
    EXPECT_TRUE(first.key == kKey);
    EXPECT_FALSE(RequestUpgrade(second, kKey));
    EXPECT_EQ(second.active, 0);
    ClearanceUpgrade(second);  // holds nothing, releases nothing
    EXPECT_EQ(QDXFlags.upgrading.load(), 1);
    ClearanceUpgrade(first);
    EXPECT_EQ(first.active, 0);
    EXPECT_TRUE(RequestUpgrade(second, kKey));
}

TEST_F(UpgradeTest, UpgradeCodeSizeBounds) {
    const char* refused = "501\nWrong file parameter(s)";
    struct Case {
        const char* size;
        int64_t accepted;  // the size taken, 0 when refused
    };
    const Case cases[] = {
        {"100", 0},      {"101", 101},   {" 10485759 ", 10485759},
        {"10485760", 0}, {"150.9", 150}, {"-200", 0},
        {"abc", 0},      {"nan", 0},     {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        UpgradeRec upgrade;
        QDXReply reply = UpgradeCode(upgrade, c.size);
        EXPECT_EQ(Str(reply.Text()), c.accepted ? "200\n" : refused);
        EXPECT_EQ(upgrade.active, c.accepted ? 1 : 0);
        EXPECT_EQ(QDXFlags.upgrading.load(), c.accepted ? 1 : 0);
        EXPECT_EQ(Exists(TempExe()), c.accepted != 0);
        if (c.accepted) {
            EXPECT_EQ(upgrade.size, c.accepted);
        }
        AbandonUpgrade(upgrade);
        ExpectReleasedAndClean();
    }
}

TEST_F(UpgradeTest, SecondUpgradeCodeDuringATransferGets302) {
    UpgradeRec first, second;
    ASSERT_EQ(Str(UpgradeCode(first, "500").Text()), "200\n");
    EXPECT_EQ(Str(UpgradeCode(second, "500").Text()), "302\n");
    EXPECT_EQ(second.active, 0);
    EXPECT_EQ(first.active, 1);  // the running transfer is untouched
    EXPECT_TRUE(Exists(TempExe()));
}

// Everything after the executable's last byte in one read is the whole trailer.
TEST_F(UpgradeTest, TrailerHandling) {
    const std::string exe = Executable(300);
    const std::string trailer = Trailer(exe);
    struct Case {
        const char* what;
        std::vector<std::string> reads;
        const char* failure;  // null for success
    };
    const Case cases[] = {
        {"one read", {exe + trailer}, nullptr},
        {"executable in pieces, trailer with the last",
         {exe.substr(0, 7), exe.substr(7, 200), exe.substr(207) + trailer},
         nullptr},
        {"last byte ends a read exactly, trailer alone",
         {exe.substr(0, 120), exe.substr(120), trailer},
         nullptr},
        {"trailer split with the executable",
         {exe + trailer.substr(0, 9), trailer.substr(9)},
         "Wrong CRC"},
        {"trailer split over two reads of its own",
         {exe, trailer.substr(0, 15), trailer.substr(15)},
         "Wrong CRC"},
        {"trailer followed by extra bytes", {exe + trailer + "xy"}, "Wrong CRC"},
        {"wrong digest", {exe + Trailer(exe, kKey, true)}, "Wrong CRC"},
        {"digest under another key", {exe, Trailer(exe, String("other"))}, "Wrong CRC"},
        {"plain digest", {exe, Trailer(exe, String())}, "Wrong CRC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetFlags();
        UpgradeRec upgrade;
        Start(upgrade, static_cast<int64_t>(exe.size()));
        std::string message;
        bool ok = Feed(upgrade, c.reads, message);
        EXPECT_EQ(upgrade.active, 0);
        if (c.failure == nullptr) {
            ASSERT_TRUE(ok) << message;
            EXPECT_EQ(message, "");
            EXPECT_EQ(ReadFile(TempExe()), exe);
            EXPECT_EQ(ModeOf(TempExe()), 0700u);
            EXPECT_EQ(ModeOf(Script()), 0700u);
            std::lock_guard<std::mutex> lock(thread_mutex);
            EXPECT_EQ(Str(QDXFlags.upgradescript), Script());
            // The reservation stays with the waiting script.
            EXPECT_EQ(QDXFlags.upgrading.load(), 1);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(message, c.failure);
            ExpectReleasedAndClean();
        }
        unlink(TempExe().c_str());
        unlink(Script().c_str());
    }
}

TEST_F(UpgradeTest, NoNewTransferWhileAScriptWaits) {
    const std::string exe = Executable(150);
    UpgradeRec upgrade, next;
    Start(upgrade, 150);
    std::string message;
    ASSERT_TRUE(Feed(upgrade, {exe + Trailer(exe)}, message)) << message;
    EXPECT_EQ(Str(UpgradeCode(next, "150").Text()), "302\n");
    EXPECT_EQ(ReadFile(TempExe()), exe);
}

// A write that fails (here the file-size limit) ends the transfer and deletes the file.
TEST_F(UpgradeTest, WriteErrorDeletesTheTemporaryExecutable) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{200, 200};
        setrlimit(RLIMIT_FSIZE, &limit);
        UpgradeRec upgrade;
        if (!RequestUpgrade(upgrade, kKey)) _exit(10);
        upgrade.size = 1000;
        String message;
        if (!DoUpgrading(upgrade, nullptr, 0, message)) _exit(11);
        std::string exe = Executable(1000);
        if (DoUpgrading(upgrade, exe.data(), 1000, message)) _exit(12);
        if (Str(message) != "Write error") _exit(13);
        if (Exists(TempExe()) || QDXFlags.upgrading.load() != 0) _exit(14);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Each failure is answered with its fixed text; the reason behind it goes to the failure log.
TEST_F(UpgradeTest, FailuresToCreateTheFiles) {
    TQDXSettings logging = *CurrentSettings();
    logging.logfails = 1;
    logging.badlogfile = (dir_ / "bad.log").c_str();
    PublishSettings(logging);
    auto logged = [&](const std::string& text) {
        return ReadFile(dir_ / "bad.log").value_or("").find(text) != std::string::npos;
    };
    {
        SCOPED_TRACE("temporary folder missing");
        rmdir(TmpDir().c_str());
        UpgradeRec upgrade;
        EXPECT_EQ(Str(UpgradeCode(upgrade, "150").Text()), "300\nCannot create temp file");
        EXPECT_TRUE(logged("Upgrade: Cannot create temp file: cannot open folder '" + TmpDir() +
                           "': No such file or directory"));
        ExpectReleasedAndClean();
        mkdir(TmpDir().c_str(), 0700);
    }
    {
        SCOPED_TRACE("temporary folder unsafe");
        chmod(TmpDir().c_str(), 0777);
        UpgradeRec upgrade;
        EXPECT_EQ(Str(UpgradeCode(upgrade, "150").Text()), "300\nCannot create temp file");
        EXPECT_TRUE(logged("is writable by other users and not sticky"));
        ExpectReleasedAndClean();
        chmod(TmpDir().c_str(), 0700);
    }
    {
        SCOPED_TRACE("script name taken by a folder");
        mkdir(Script().c_str(), 0700);
        const std::string exe = Executable(150);
        UpgradeRec upgrade;
        Start(upgrade, 150);
        std::string message;
        EXPECT_FALSE(Feed(upgrade, {exe + Trailer(exe)}, message));
        EXPECT_EQ(message, "Binary code transferred. Cannot create script file");
        EXPECT_TRUE(logged("Binary code transferred. Cannot create script file: '" + Script() +
                           "' is a folder"));
        EXPECT_FALSE(Exists(TempExe()));
        EXPECT_EQ(QDXFlags.upgrading.load(), 0);
        rmdir(Script().c_str());
    }
}

// Right before the hand-over the script must still be the file the transfer wrote, in place.
TEST_F(UpgradeTest, ScriptIsCheckedBeforeTheHandOver) {
    const std::string aside = dir_ / "aside.sh";
    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"as written", [] {}, ""},
        {"removed", [&] { unlink(Script().c_str()); }, "No such file or directory"},
        {"written anew",
         [&] {
             std::string text = ReadFile(Script()).value_or("");
             unlink(Script().c_str());
             WriteFile(Script(), text);
         },
         "is no longer the file the agent wrote"},
        {"a link to the script",
         [&] {
             ASSERT_EQ(rename(Script().c_str(), aside.c_str()), 0);
             ASSERT_EQ(symlink(aside.c_str(), Script().c_str()), 0);
         },
         "is no longer the file the agent wrote"},
        {"writable by the group", [&] { chmod(Script().c_str(), 0770); },
         "is no longer the file the agent wrote"},
        {"folder writable by all", [&] { chmod(TmpDir().c_str(), 0777); },
         "is writable by other users and not sticky"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetFlags();
        const std::string exe = Executable(150);
        UpgradeRec upgrade;
        Start(upgrade, 150);
        std::string message;
        ASSERT_TRUE(Feed(upgrade, {exe + Trailer(exe)}, message)) << message;
        String script;
        {
            std::lock_guard<std::mutex> lock(thread_mutex);
            script = QDXFlags.upgradescript;
        }
        ASSERT_EQ(Str(script), Script());

        c.spoil();
        String reason;
        EXPECT_EQ(UpgradeScriptReady(script, reason), *c.reason == '\0');
        EXPECT_NE(Str(reason).find(c.reason), std::string::npos) << Str(reason);
        EXPECT_FALSE(UpgradeScriptReady(String((dir_ / "other/qdxupd__.sh").c_str()), reason));
        chmod(TmpDir().c_str(), 0700);
        unlink(aside.c_str());
    }
}

// The executable is staged beside "qdxpath": an agent that may not write there learns it before
// the transfer is answered "200", not after.
TEST_F(UpgradeTest, RefusedWhenQdxpathCannotBeReplaced) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the agent as another user";
    chmod(dir_.path().c_str(), 0755);
    ASSERT_EQ(chown(TmpDir().c_str(), testing_support::kNobody, testing_support::kNobody), 0);
    int code = testing_support::RunAsNobody([&] {
        const std::string exe = Executable(150);
        UpgradeRec upgrade;
        String message;
        if (!RequestUpgrade(upgrade, kKey)) return 10;
        upgrade.size = 150;
        if (!DoUpgrading(upgrade, nullptr, 0, message)) return 11;
        std::string sent = exe + Trailer(exe);
        if (DoUpgrading(upgrade, sent.data(), static_cast<int>(sent.size()), message)) return 12;
        if (Str(message) != "Binary code transferred. Cannot create script file") return 13;
        return Exists(TempExe()) || Exists(Script()) || QDXFlags.upgrading.load() ? 14 : 0;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(UpgradeTest, AnActiveRecordIsAbandonedWhenItGoes) {
    {
        UpgradeRec upgrade;
        Start(upgrade, 400);
        std::string message;
        Feed(upgrade, {Executable(100)}, message);
        EXPECT_TRUE(Exists(TempExe()));
    }
    ExpectReleasedAndClean();
}

// Over a connection: the whole transfer, a peer that goes away, a peer that goes quiet.
TEST_F(UpgradeTest, ReceiveUpgradeOverASocket) {
    const std::string exe = Executable(5000);
    struct Case {
        const char* what;
        std::string sent;
        bool closeAfter;
        bool ended;
        const char* message;
    };
    const Case cases[] = {
        {"whole", exe + Trailer(exe), false, true, ""},
        {"wrong digest", exe + Trailer(exe, kKey, true), false, true, "Wrong CRC"},
        {"cut off", exe.substr(0, 2000), true, false, "connection closed after 2000 of 5000 bytes"},
        {"idle", exe.substr(0, 3000), false, false,
         "nothing received in time after 3000 of 5000 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetFlags();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        UpgradeRec upgrade;
        Start(upgrade, 5000);
        ASSERT_EQ(write(pair[1], c.sent.data(), c.sent.size()), ssize_t(c.sent.size()));
        if (c.closeAfter) close(pair[1]);
        String message;
        EXPECT_EQ(ReceiveUpgrade(pair[0], upgrade, message, 200), c.ended);
        EXPECT_EQ(Str(message), c.message);
        EXPECT_EQ(upgrade.active, 0);
        if (!c.ended) ExpectReleasedAndClean();
        close(pair[0]);
        if (!c.closeAfter) close(pair[1]);
        unlink(TempExe().c_str());
        unlink(Script().c_str());
    }
}

TEST(UpgradeScript, QuotesForTheShell) {
    EXPECT_EQ(Str(ShellQuoted("/opt/it's here")), "'/opt/it'\\''s here'");
    EXPECT_EQ(Str(ShellQuoted("$(reboot)`x`")), "'$(reboot)`x`'");
    EXPECT_EQ(Str(ShellQuoted("")), "''");
}

TEST(UpgradeScript, ArgvRunsTheShellWithPortPidFileAndTheAgentsArguments) {
    char a0[] = "/usr/sbin/qdx", a1[] = "-d", a2[] = "/etc/qdx/my qdx.cfg";
    char* agent[] = {a0, a1, a2, nullptr};
    String script("/tmp/qdxupd__.sh"), port("1055"), pidfile, named("/run/qdx.pid");
    for (String* file : {&pidfile, &named}) {
        std::vector<char*> argv = UpgradeScriptArgv(script, port, *file, agent);
        ASSERT_EQ(argv.size(), 7u);
        EXPECT_STREQ(argv[0], "/bin/sh");
        EXPECT_STREQ(argv[1], "/tmp/qdxupd__.sh");
        EXPECT_STREQ(argv[2], "1055");
        EXPECT_STREQ(argv[3], file == &pidfile ? "" : "/run/qdx.pid");
        EXPECT_EQ(argv[4], a1);
        EXPECT_EQ(argv[5], a2);
        EXPECT_EQ(argv[6], nullptr);
    }
}

// The script run for real by /bin/sh, with stand-ins for the agent: small scripts that record how
// they were started and end at once, without ever listening. (The real agent, listening or not,
// is started by the end-to-end tests.)
class UpgradeScriptRun : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir((dir_ / "bin").c_str(), 0755);
        WriteFile(QdxPath(), Program("old", 0));
        chmod(QdxPath().c_str(), 0750);
        WriteFile(dir_ / "qdx__.upd", Program("new", 3));
        chmod((dir_ / "qdx__.upd").c_str(), 0700);
        WriteFile(dir_ / "qdxupd__.sh",
                  Str(UpgradeScriptText(QdxPath().c_str(), (dir_ / "qdx__.upd").c_str(),
                                        (dir_ / "qdxupd__.sh").c_str(), 0750)));
    }

    std::string QdxPath() const { return dir_ / "bin/my qdx"; }
    // Records its arguments, one a line, then the roll-back reason it was given, and exits with
    // `status`.
    std::string Program(const std::string& name, int status) const {
        return "#!/bin/sh\n{ for a in \"$@\"; do echo \"$a\"; done; echo \"[$" +
               std::string(kRolledBackVariable) + "]\"; } > '" + (dir_ / "ran-") + name +
               "'\nexit " + std::to_string(status) + "\n";
    }

    // Runs the script as the accept loop does, for an agent started with `mode` ("-i" or "-d"),
    // with `path` as PATH; returns its exit code.
    int Run(const char* mode, const std::string& path) {
        char a0[] = "qdx", a2[] = "/etc/qdx/my qdx.cfg";
        char* agent[] = {a0, const_cast<char*>(mode), a2, nullptr};
        String script((dir_ / "qdxupd__.sh").c_str()), port("1"), pidfile;
        std::vector<char*> argv = UpgradeScriptArgv(script, port, pidfile, agent);
        std::string env = "PATH=" + path;
        char* envp[] = {env.data(), nullptr};
        pid_t pid = fork();
        if (pid == 0) {
            execve(argv[0], argv.data(), envp);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The new executable was installed, ended without listening and was rolled back: the old one
    // is back in place and was started with the reason; the new one is kept as ".Failed".
    void ExpectRolledBack(const char* mode, const std::string& old, const std::string& fresh,
                          const std::string& reason) {
        const std::string args = std::string(mode) + "\n/etc/qdx/my qdx.cfg\n";
        EXPECT_EQ(ReadFile(dir_ / "ran-new"), args + "[]\n");
        EXPECT_EQ(ReadFile(dir_ / "ran-old"), args + "[" + reason + "]\n");
        EXPECT_EQ(ReadFile(QdxPath()), old);
        EXPECT_EQ(ReadFile(QdxPath() + ".Old"), old);
        EXPECT_EQ(ReadFile(QdxPath() + ".Failed"), fresh);
        EXPECT_EQ(ModeOf(QdxPath() + ".Failed"), 0750u);
        EXPECT_FALSE(Exists(QdxPath() + ".New"));
        EXPECT_FALSE(Exists(dir_ / "qdx__.upd"));
        EXPECT_FALSE(Exists(dir_ / "qdxupd__.sh"));
    }

    TempDir dir_;
};

// Daemon mode: the script waits for the new executable in its own process and, since it ended
// without anything listening, starts the old one in that process.
TEST_F(UpgradeScriptRun, DaemonModeRollsBackAnExecutableThatExitsWithoutListening) {
    std::string old = *ReadFile(QdxPath());
    std::string fresh = *ReadFile(dir_ / "qdx__.upd");
    EXPECT_EQ(Run("-d", "/usr/bin:/bin"), 0);
    ExpectRolledBack("-d", old, fresh, "the new executable exited with status 3");
}

// Interactive mode: the new executable replaces the script and ends; the watcher the script left
// behind starts the old one.
TEST_F(UpgradeScriptRun, InteractiveModeRollsBackAnExecutableThatEnds) {
    std::string old = *ReadFile(QdxPath());
    std::string fresh = *ReadFile(dir_ / "qdx__.upd");
    EXPECT_EQ(Run("-i", "/usr/bin:/bin"), 3);
    for (int i = 0; i < 100 && !Exists(dir_ / "ran-old"); i++) usleep(100 * 1000);
    usleep(100 * 1000);  // the stand-in has written its file whole
    ExpectRolledBack("-i", old, fresh, "the new executable ended without listening");
}

// A copy that fails half way (a full disk, say) leaves the old executable in place, and the old
// one is started again at once.
TEST_F(UpgradeScriptRun, FailedCopyKeepsAndStartsTheOldOne) {
    std::string old = *ReadFile(QdxPath());
    ASSERT_EQ(mkdir((dir_ / "stub").c_str(), 0755), 0);
    WriteFile(dir_ / "stub/cp", "#!/bin/sh\necho partial > \"$2\"\nexit 1\n");
    chmod((dir_ / "stub/cp").c_str(), 0755);
    EXPECT_EQ(Run("-i", dir_ / "stub" + ":/usr/bin:/bin"), 0);
    EXPECT_EQ(ReadFile(QdxPath()), old);
    EXPECT_EQ(ReadFile(dir_ / "ran-old"), "-i\n/etc/qdx/my qdx.cfg\n[]\n");
    EXPECT_FALSE(Exists(dir_ / "ran-new"));
    EXPECT_FALSE(Exists(QdxPath() + ".New"));
    EXPECT_FALSE(Exists(QdxPath() + ".Failed"));
    EXPECT_FALSE(Exists(dir_ / "qdx__.upd"));
    EXPECT_FALSE(Exists(dir_ / "qdxupd__.sh"));
}

}  // namespace
