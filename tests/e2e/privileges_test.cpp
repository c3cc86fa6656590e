// The agent started as root with "-u" naming a user made for the test: it reads what root reads,
// its programs run as that user with no capability, the denied files stay out of every check
// however they are named, and the user and capability survive a re-execution.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Lines = std::vector<std::string>;

// A user of this test process alone: ctest runs the tests of this suite in parallel processes,
// each creating and deleting its user.
const std::string& User() {
    static const std::string name = "qdxe2e" + std::to_string(getpid());
    return name;
}

// "Name:\tvalue" lines of /proc/<pid>/status.
std::map<std::string, std::string> StatusOf(const std::string& path) {
    std::map<std::string, std::string> fields;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

class PrivilegesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (getpwnam(User().c_str()) != nullptr) return;
        std::string add = std::string("useradd --system --no-create-home --home-dir /nonexistent "
                                      "--shell /usr/sbin/nologin ") +
                          User() + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(add.c_str()), 0);
    }
    static void TearDownTestSuite() {
        int ignored = std::system((std::string("userdel ") + User() + " >/dev/null 2>&1").c_str());
        (void)ignored;
    }

    void SetUp() override {
        const passwd* pw = getpwnam(User().c_str());
        ASSERT_NE(pw, nullptr);
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        // The user writes its temporary files, logs and configuration; root alone reads "secret".
        ASSERT_EQ(chown(dir.path().c_str(), uid, gid), 0);
        ASSERT_EQ(chown(agent.configDir().c_str(), uid, gid), 0);
        chmod(dir.path().c_str(), 0755);
        secret = dir.File("secret");
        mkdir(secret.c_str(), 0700);
        mkdir((secret + "/sub").c_str(), 0700);
        WriteFile(secret + "/data", "root only\n");
        WriteFile(secret + "/app.log", "start\nERROR disk full\nend\n");
        WriteFile(secret + "/sub/more", "0123456789");
        WriteFile(dir.File("copy"), "root only\n");
        for (const char* f : {"/data", "/app.log", "/sub/more"}) chmod((secret + f).c_str(), 0600);
    }

    std::vector<Lines> Checks() const {
        return {
            {"TEST-FileCRC", secret + "/data"},
            {"TEST-FileCompare", "1", secret + "/data", dir.File("copy"), "0", "1", "1"},
            {"TEST-FileCompare", "3", secret + "/data", "only", "0", "1"},
            {"TEST-TextLog", secret + "/app.log", "ERROR", "", "", "", "0", "0", "0", "0"},
            {"TEST-FolderSize", secret},
            {"TEST-FolderSize", dir.path()},
            {"TEST-CountFiles", secret, "*", "0", "0", "0"},
            {"TEST-CountFiles", secret + "/sub", "*", "0", "0", "0"},
            {"TEST-FileExists", secret + "/sub/more"},
        };
    }

    static Lines Answer(Agent& agent, const Lines& check) {
        QdxReplyText reply = agent.Call(check[0], Lines(check.begin() + 1, check.end()));
        Lines lines = reply.Lines();
        lines.insert(lines.begin(), reply.Code());
        return lines;
    }

    TempDir dir;
    Agent agent{dir, "executeaction=1\n"};
    uid_t uid = 0;
    gid_t gid = 0;
    std::string secret;
};

// The agent's own sets: the read capability alone, kept in permitted and effective only.
void ExpectAgentIdentity(pid_t pid, uid_t uid) {
    auto status = StatusOf("/proc/" + std::to_string(pid) + "/status");
    std::string id = std::to_string(uid);
    EXPECT_EQ(status["Uid"], id + "\t" + id + "\t" + id + "\t" + id);
    EXPECT_EQ(status["CapEff"], "0000000000000004");
    EXPECT_EQ(status["CapPrm"], "0000000000000004");
    EXPECT_EQ(status["CapInh"], "0000000000000000");
    EXPECT_EQ(status["CapAmb"], "0000000000000000");
}

TEST_F(PrivilegesTest, ChecksAnswerAsUnderRoot) {
    TempDir rootDir;
    Agent root(rootDir);
    ASSERT_TRUE(root.Start());
    ASSERT_TRUE(agent.Start({"-u", User()})) << agent.Output();
    EXPECT_NE(agent.Output().find("User switching .. Ok, running as " + User()),
              std::string::npos);
    ExpectAgentIdentity(agent.pid(), uid);
    for (const Lines& check : Checks()) {
        Lines asRoot = Answer(root, check);
        EXPECT_EQ(asRoot[0], "200") << check[0] << " " << check[1];
        EXPECT_EQ(Answer(agent, check), asRoot) << check[0] << " " << check[1];
    }
    // The file list too, but for the read-only attribute: files the user may not write are
    // read-only to it.
    Lines list = {"GetFilesList", secret, "*", "0", "1", "0", "0", "1"};
    Lines asRoot = Answer(root, list);
    ASSERT_EQ(asRoot.size(), 10u);
    EXPECT_EQ(asRoot[5] + asRoot[8], "00");
    asRoot[5] = asRoot[8] = "1";
    EXPECT_EQ(Answer(agent, list), asRoot);
}

// Every program the agent starts runs as its user, with every capability set but the bounding one
// empty.
TEST_F(PrivilegesTest, ProgramsRunWithoutCapabilities) {
    ASSERT_TRUE(agent.Start({"-u", User()})) << agent.Output();
    const std::string external = dir.File("external"), script = dir.File("script"),
                      action = dir.File("action");
    EXPECT_EQ(agent.Call("TEST-ExternalPrg", {"cp /proc/self/status " + external}).Code(), "200");
    EXPECT_EQ(agent.Call("TEST-ShellScript",
                         {"%script%", "cp /proc/self/status " + script, "", "5", "1"})
                  .Code(),
              "200");
    EXPECT_EQ(agent.Call("ACT-ExternalCmd", {"cp /proc/self/status " + action}).Code(), "200");
    for (const std::string& file : {external, script, action}) {
        ASSERT_TRUE(WaitUntil([&] { return !ReadFile(file).empty(); }, 5)) << file;
        auto status = StatusOf(file);
        std::string id = std::to_string(uid);
        EXPECT_EQ(status["Uid"], id + "\t" + id + "\t" + id + "\t" + id) << file;
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
            EXPECT_EQ(status[set], "0000000000000000") << file << " " << set;
        EXPECT_NE(status["CapBnd"], "0000000000000000") << file;
    }
}

TEST_F(PrivilegesTest, FailedSwitchRefusesToStart) {
    RunResult unknown = RunAgentToExit({"-i", "-u", "no-such-user-qdx", agent.config()});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.out.find("cannot run as user 'no-such-user-qdx': no such user"),
              std::string::npos)
        << unknown.out;
    EXPECT_EQ(unknown.out.find("Listening"), std::string::npos);

    // Only root takes another user.
    RunResult notRoot = RunProgram("/usr/bin/setpriv",
                                   {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                    QDX_BINARY, "-i", "-u", User(), agent.config()});
    EXPECT_EQ(notRoot.exitCode, 1);
    EXPECT_NE(notRoot.out.find("only root can take another user"), std::string::npos)
        << notRoot.out;
    // The option needs its value.
    RunResult missing = RunAgentToExit({"-i", "-u"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.out.find("Invalid or missed command line parameter"), std::string::npos);
}

TEST_F(PrivilegesTest, UserAndCapabilitySurviveReloadApp) {
    ASSERT_TRUE(agent.Start({"-u", User()})) << agent.Output();
    const pid_t before = agent.pid();
    const Lines size = Answer(agent, {"TEST-FolderSize", secret});
    ASSERT_EQ(size[0], "200");
    EXPECT_EQ(agent.Call("ReloadApp").text, "200\nOk\n\r");
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::string out = agent.Output();
            return out.find("Listening...") != out.rfind("Listening...");
        },
        10))
        << agent.Output();
    EXPECT_EQ(agent.pid(), before);
    // The new image runs as the user already: no switch, the same sets.
    ExpectAgentIdentity(agent.pid(), uid);
    EXPECT_EQ(Answer(agent, {"TEST-FileCRC", secret + "/data"})[0], "200");
    EXPECT_EQ(Answer(agent, {"TEST-FolderSize", secret}), size);
}

// A self-upgrade under "-u": where the executable and its folder belong to the user it replaces
// the executable, and the new image runs as the user with the capability; where they belong to
// root it is refused, with the reason in the failure log.
TEST_F(PrivilegesTest, UpgradeKeepsUserAndCapabilityWhereTheUserOwnsTheExecutable) {
    TempDir upgradeDir;
    const std::string bin = upgradeDir.File("bin"), qdxpath = bin + "/qdx";
    mkdir(bin.c_str(), 0755);
    WriteFile(qdxpath, ReadFile(AgentImage()));
    chmod(qdxpath.c_str(), 0755);
    for (const std::string& path : {upgradeDir.path(), bin, qdxpath})
        ASSERT_EQ(chown(path.c_str(), uid, gid), 0);
    Agent upgraded(upgradeDir, "qdxpath=" + qdxpath + "\n");
    ASSERT_EQ(chown(upgraded.configDir().c_str(), uid, gid), 0);
    ASSERT_TRUE(upgraded.Start({"-u", User()})) << upgraded.Output();
    const std::string fresh = ReadFile(AgentImage()) + "\nnew build marker\n";
    WriteFile(dir.File("new-qdx"), fresh);
    auto upgrade = [&](const std::string& target) {
        return RunProgram(QDXCTL_BINARY,
                          {"-p", std::to_string(upgraded.port()), "upgrade", "--wait", "60",
                           "--qdxpath", target, dir.File("new-qdx")},
                          90, {"QDX_PASSWORD=" + Agent::Password()});
    };
    RunResult run = upgrade(qdxpath);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadFile(qdxpath), fresh);
    ASSERT_TRUE(upgraded.Running());
    ExpectAgentIdentity(upgraded.pid(), uid);
    EXPECT_EQ(Answer(upgraded, {"TEST-FileCRC", secret + "/data"}), Answer(upgraded, {"TEST-FileCRC", dir.File("copy")}));

    // The agent runs as its user now; an executable in a folder of root's stays as it is.
    const std::string rootBin = upgradeDir.File("rootbin");
    mkdir(rootBin.c_str(), 0755);
    WriteFile(rootBin + "/qdx", ReadFile(AgentImage()));
    chmod((rootBin + "/qdx").c_str(), 0755);
    std::string cfg = ReadFile(upgraded.config());
    cfg.replace(cfg.find("qdxpath=" + qdxpath), qdxpath.size() + 8, "qdxpath=" + rootBin + "/qdx");
    WriteFile(upgraded.config(), cfg);
    ASSERT_EQ(upgraded.Call("ReloadCfg").Code(), "200");
    RunResult refused = upgrade(rootBin + "/qdx");
    EXPECT_NE(refused.exitCode, 0) << refused.out;
    EXPECT_EQ(ReadFile(rootBin + "/qdx"), ReadFile(AgentImage()));
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadFile(upgraded.LogFile("log2.txt"))
                       .find("cannot write to folder '" + rootBin + "/'") != std::string::npos;
        },
        5))
        << ReadFile(upgraded.LogFile("log2.txt")) << refused.out;
}

// The secrets no check reads, however they are named. The default entries present on this machine
// are tried directly, through a symbolic link, through "..", and through a wildcard (the text-log
// test takes one); hard links are tried on entries the configuration adds, since the defaults live
// on a file system the test's folder may not share.
TEST_F(PrivilegesTest, DeniedEntriesAreRefusedHoweverNamed) {
    const std::string key = dir.File("private.key"), walked = dir.File("walked");
    const std::string vault = walked + "/vault";
    WriteFile(key, "-----BEGIN KEY-----\n");
    mkdir(walked.c_str(), 0755);
    WriteFile(walked + "/visible", "12345");
    mkdir(vault.c_str(), 0700);
    WriteFile(vault + "/inside", "0123456789");
    WriteFile(agent.config(), ReadFile(agent.config()) + "denypaths=" + key + " " + vault + "\n");
    ASSERT_TRUE(agent.Start({"-u", User()})) << agent.Output();

    // Each check, and what it answers for a file it cannot open. The text-log test answers a
    // name that leads nowhere it may go as a file that does not exist.
    auto checks = [&](const std::string& name) {
        return std::vector<Lines>{
            {"TEST-FileCRC", name},
            {"TEST-TextLog", name, "a", "", "", "", "0", "0", "0", "0"},
            {"TEST-FileCompare", "1", name, dir.File("copy"), "0", "0", "1"},
        };
    };
    const std::vector<std::vector<Lines>> refused = {
        {{"301", "Cannot open file"}},
        {{"301", "Cannot open file"}, {"301", "File does not exist"}},
        {{"301", "I/O Error"}},
    };
    auto isRefused = [&](size_t check, const Lines& answer) {
        for (const Lines& expected : refused[check])
            if (answer == expected) return true;
        return false;
    };

    std::vector<std::pair<std::string, std::string>> names;  // name asked, the entry it reaches
    int links = 0;
    for (const char* entry : {"/etc/shadow", "/etc/shadow-", "/etc/gshadow", "/etc/gshadow-",
                              "/etc/sudoers"}) {
        struct stat st;
        if (stat(entry, &st) != 0) continue;
        std::string link = dir.File("link" + std::to_string(links++));
        ASSERT_EQ(symlink(entry, link.c_str()), 0);
        std::string wildcard = std::string(entry);
        wildcard.back() = '?';
        for (const std::string& name : {std::string(entry), link, dir.path() + "/../.." + entry})
            names.push_back({name, entry});
        // Only the text-log test takes a wildcard.
        Lines textLog = checks(wildcard)[1];
        EXPECT_EQ(Answer(agent, textLog), refused[1][0]) << wildcard;
    }
    ASSERT_FALSE(names.empty()) << "no default entry on this machine";
    const std::string hard = dir.File("hard");
    ASSERT_EQ(link(key.c_str(), hard.c_str()), 0);
    names.push_back({key, key});
    names.push_back({hard, key});
    names.push_back({dir.File("sub/../private.key"), key});
    names.push_back({vault + "/inside", vault});
    mkdir(dir.File("sub").c_str(), 0755);
    for (const auto& [name, entry] : names) {
        std::vector<Lines> asked = checks(name);
        for (size_t i = 0; i < asked.size(); i++) {
            Lines answer = Answer(agent, asked[i]);
            EXPECT_TRUE(isRefused(i, answer)) << asked[i][0] << " " << name << ": " << answer[1];
        }
    }
    // A hard link made once the agent runs, to the entry as it is now after a replacement (as
    // the password files are on every change).
    const std::string fresh = dir.File("fresh.key"), late = dir.File("late");
    WriteFile(fresh, "replaced\n");
    ASSERT_EQ(rename(fresh.c_str(), key.c_str()), 0);
    ASSERT_EQ(link(key.c_str(), late.c_str()), 0);
    EXPECT_EQ(Answer(agent, {"TEST-FileCRC", late}), refused[0][0]);

    // Folders: refused as a walk's top, skipped inside a walk; a folder of the defaults too.
    EXPECT_EQ(Answer(agent, {"TEST-FolderSize", vault}),
              (Lines{"301", "Folder/File doesn`t exist or access denied"}));
    EXPECT_EQ(Answer(agent, {"TEST-FolderSize", "/etc/ssl/private"}),
              (Lines{"301", "Folder/File doesn`t exist or access denied"}));
    EXPECT_EQ(Answer(agent, {"TEST-CountFiles", vault, "*", "0", "0", "0"})[0], "301");
    EXPECT_EQ(Answer(agent, {"TEST-FolderSize", walked}), (Lines{"200", "     5"}));

    // The failure log says which rule refused what.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ReadFile(agent.LogFile("log2.txt"))
                       .find("'" + hard + "' refused: no check may read it (rule: denypaths " +
                             key + ")") != std::string::npos;
        },
        5))
        << ReadFile(agent.LogFile("log2.txt"));
}

// The TLS port's key, root's alone, is read after the switch with the agent's capability, and no
// check may read it.
TEST_F(PrivilegesTest, TlsKeyReadAsTheUserAndDeniedToChecks) {
    const std::string key = dir.File("tls.key"), certificate = dir.File("tls.pem");
    RunResult made = RunProgram(
        "/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                             "-nodes", "-days", "2", "-subj", "/CN=agent", "-addext",
                             "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate},
        30);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ASSERT_EQ(chmod(key.c_str(), 0600), 0);  // root's, as the key of a packaged agent
    const int tlsPort = FreePort();
    WriteFile(agent.config(), ReadFile(agent.config()) + "tlsport=" + std::to_string(tlsPort) +
                                  "\ntlscertfile=" + certificate + "\ntlskeyfile=" + key + "\n");
    ASSERT_TRUE(agent.Start({"-u", User()})) << agent.Output();
    ExpectAgentIdentity(agent.pid(), uid);

    RunResult info = RunProgram(QDXCTL_BINARY,
                                {"-t", "5000", "-p", std::to_string(tlsPort), "--tls-ca",
                                 certificate, "GetInfo"},
                                20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
    EXPECT_EQ(Answer(agent, {"TEST-FileCRC", key}), (Lines{"301", "Cannot open file"}));
    EXPECT_EQ(Answer(agent, {"TEST-FileCRC", certificate})[0], "200");
}

// Plugins run as the agent's user without a capability; their lines count from a configuration of
// that user, since they run with no more than what that user may do anyway.
TEST_F(PrivilegesTest, PluginsFromTheUsersConfigurationRunAsTheUser) {
    std::string lines = "plugins=1\n";
    for (const char* field : {"Uid", "CapPrm", "CapEff", "CapAmb"})
        lines += std::string("plugin.") + field + "=/bin/grep -m1 ^" + field +
                 ": /proc/self/status\n";
    WriteFile(agent.config(), ReadFile(agent.config()) + lines);
    ASSERT_EQ(chown(agent.config().c_str(), uid, gid), 0);
    ASSERT_TRUE(agent.Start({"-u", User()})) << agent.Output();
    const std::string id = std::to_string(uid);
    const std::map<std::string, std::string> expected = {
        {"Uid", id + "\t" + id + "\t" + id + "\t" + id},
        {"CapPrm", "0000000000000000"},
        {"CapEff", "0000000000000000"},
        {"CapAmb", "0000000000000000"}};
    for (const auto& [field, value] : expected)
        EXPECT_EQ(agent.Call("TEST-Plugin", {field}).text,
                  "200\n0\n" + field + ":\t" + value + "\n\n0\n\r")
            << agent.Output();
}

}  // namespace
