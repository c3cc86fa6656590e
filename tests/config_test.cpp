// The configuration reader, its normalisation step, the settings snapshot and the messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/messages.h"
#include "config/options.h"
#include "config/settings.h"
#include "config_fixture.h"
#include "platform/local_log.h"

using namespace configtest;
using namespace std::string_literals;

namespace {

class ConfigReader : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = dir_ / "agent";
        WriteFile(agent_, "#!/bin/sh\n");
        cfg_ = dir_ / "qdx.cfg";
        SetCfgFile(record_, cfg_);
    }
    // "$AGENT" in a text stands for the path of an existing agent file.
    std::string Expand(std::string text) const {
        for (size_t at; (at = text.find("$AGENT")) != std::string::npos;)
            text.replace(at, 6, agent_);
        return text;
    }
    bool Load(const std::string& text, String& message) {
        WriteFile(cfg_, Expand(text));
        return LoadOptions_(record_, message);
    }

    EnvGuard env_;
    TempDir dir_;
    std::string agent_, cfg_;
    TQDXSettings record_;
};

struct ReaderCase {
    const char* name;
    std::string text;
    int commandLinePort;
    bool loads;
    std::string message;
    std::function<void(const TQDXSettings&)> check;
};

const std::string kRequired = "port=5000\npassword=pw\nqdxpath=$AGENT\n";

const ReaderCase kReaderCases[] = {
    {"OnlyRequiredKeysTakeEveryDefault", kRequired, 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.port, 5000);
         EXPECT_EQ(s.timeout, 4000);
         EXPECT_EQ(s.delayforscripts, 90000);
         EXPECT_EQ(Str(s.comment), "");
         EXPECT_EQ(Str(s.pidfile), "");
         EXPECT_EQ(Str(s.oklogfile), "log1.txt");
         EXPECT_EQ(Str(s.badlogfile), "log2.txt");
         EXPECT_EQ(s.logsuccess, 0);
         EXPECT_EQ(s.logfails, 1);
         EXPECT_EQ(s.filteractive, 0);
         EXPECT_EQ(Str(s.filterlist), "127.0.0.1");
         EXPECT_EQ(Str(s.filtermarks), "1");
         EXPECT_EQ(Str(s.filteractivelist), "\r\n127.0.0.1\r\n");
         EXPECT_EQ(s.allowupdates, 1);
         EXPECT_EQ(s.allowmanage, 1);
         EXPECT_EQ(Str(s.updateaddr), "127.0.0.1");
         EXPECT_EQ(Str(s.manageaddr), "127.0.0.1");
         for (int v : {s.unc, s.freespace, s.foldersize, s.countfiles, s.fileexists, s.filecrc,
                       s.comparefiles, s.process, s.cpuusage, s.snmp, s.script, s.external, s.ping,
                       s.tcp, s.udp, s.textlog, s.shellscript})
             EXPECT_EQ(v, 1);
         for (int v : {s.service, s.nteventlog, s.perfcounter, s.executeaction, s.tcpudpaction,
                       s.syslogaction})
             EXPECT_EQ(v, 0);
         EXPECT_EQ(s.maxsessions, 4096);
         EXPECT_EQ(s.requesttimeout, 60000);
         EXPECT_EQ(s.keepalive, 30);
         EXPECT_EQ(s.walkworkers, 2);
         EXPECT_EQ(s.fsstall, 5000);
         EXPECT_EQ(s.fsstuck, 4);
     }},
    {"KeysIgnoreCaseAndBlanksValuesKeepInnerOnes",
     "  PORT \t=  5000 \t\r\npassword = Pw\r\nQdxPath=$AGENT\r\n Comment =  two  words \t\r\n", 0,
     true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.port, 5000);
         EXPECT_EQ(Str(s.password), "Pw");
         EXPECT_EQ(Str(s.comment), "two  words");
     }},
    {"CommentOnlyInTheFirstColumn",
     "#comment=hash\n;comment=semicolon\n #comment=blank first\n" + kRequired, 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(Str(s.comment), ""); }},
    {"UnknownKeysEmptyKeysAndLinesWithoutEqualsAreIgnored",
     "=value\n =\n\nnoequals\nunknown=1\n" + kRequired, 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(s.port, 5000); }},
    {"TimeoutZeroBecomes4000", kRequired + "timeout=0\n", 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(s.timeout, 4000); }},
    {"NumbersReadLikeAtoi", kRequired + "timeout= 250ms\ndelayforscripts=-12abc\n", 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.timeout, 250);
         EXPECT_EQ(s.delayforscripts, -12);
     }},
    {"NumbersBeyondTheIntRangeStopAtItsLimits",
     kRequired + "timeout=99999999999\ndelayforscripts=-99999999999\n", 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.timeout, 2147483647);
         EXPECT_EQ(s.delayforscripts, -2147483647 - 1);
     }},
    {"CommandLinePortWins", kRequired, 6000, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(s.port, 6000); }},
    {"FirstPortWinsOtherKeysTakeTheirLast", kRequired + "port=6000\ncomment=a\ncomment=b\n", 0,
     true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.port, 5000);
         EXPECT_EQ(Str(s.comment), "b");
     }},
    {"FlagIsOneExactlyWhenTheValueStartsWithOne",
     kRequired + "logsuccess=10\nfilteractive=1abc\nlogfails=yes\nunc=\nping=true\ntcp=0\n", 0,
     true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.logsuccess, 1);
         EXPECT_EQ(s.filteractive, 1);
         EXPECT_EQ(s.logfails, 0);
         EXPECT_EQ(s.unc, 0);
         EXPECT_EQ(s.ping, 0);
         EXPECT_EQ(s.tcp, 0);
     }},
    {"FilterListEntriesSplitAtBlanksMarksSelectActive",
     kRequired + "filterlist= 10.0.0.1  10.0.0.2 \nfiltermarks=01\n", 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.filterlist), "10.0.0.1\r\n10.0.0.2");
         EXPECT_EQ(Str(s.filteractivelist), "\r\n10.0.0.2\r\n");
     }},
    {"FilterListTakesEscapedLineBreaks",
     kRequired + "filterlist=10.0.0.1%0D%0A10.0.0.2\nfiltermarks=11\n", 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.filteractivelist), "\r\n10.0.0.1\r\n10.0.0.2\r\n");
     }},
    // Escaped line breaks separate entries as blanks do; runs of them make no empty entries.
    {"FilterListLineBreaksAreSeparators",
     kRequired + "filterlist=10.0.0.1%0A10.0.0.2%0D%0A%0D%0A 10.0.0.3%0D\nfiltermarks=111\n", 0,
     true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.filterlist), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3");
         EXPECT_EQ(Str(s.filteractivelist), "\r\n10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n");
     }},
    {"MoreMarksThanEntriesWarnsButLoads",
     kRequired + "filterlist=10.0.0.1 10.0.0.2\nfiltermarks=111\n", 0, true,
     "FilterMarks has less items than FilterList",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.filteractivelist), "\r\n10.0.0.1\r\n10.0.0.2\r\n");
     }},
    // Bytes above 0x7F belong to an entry; a name in UTF-8 is not trimmed away.
    {"FilterEntriesKeepTheirHighBytes",
     kRequired + "filterlist=\xC3\xA9 127.0.0.1 host-\xC3\xA9\nfiltermarks=111\n", 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.filteractivelist), "\r\n\xC3\xA9\r\n127.0.0.1\r\nhost-\xC3\xA9\r\n");
     }},
    {"LogSyslogIsOffUnlessSet", kRequired, 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(s.logsyslog, 0); }},
    {"LogSyslogIsRead", kRequired + "LogSyslog = 1\n", 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(s.logsyslog, 1); }},
    {"AgentPathWithoutLeadingSlash", "port=5000\npassword=pw\nqdxpath=bin/agent\n", 0, false,
     "  Full path to the agent is not specified!\n", nullptr},
    {"AgentPathThatDoesNotExist", "port=5000\npassword=pw\nqdxpath=/nonexistent/agent\n", 0, false,
     "  Invalid path to the agent!\n", nullptr},
    {"PortAboveTheRangeIsRefused", "port=70000\npassword=pw\nqdxpath=$AGENT\n", 0, false,
     "  Invalid TCP port number (1 to 65535)!\n", nullptr},
    {"PortJustAboveTheRangeIsRefused", "port=65536\npassword=pw\nqdxpath=$AGENT\n", 0, false,
     "  Invalid TCP port number (1 to 65535)!\n", nullptr},
    {"NegativePortIsRefused", "port=-1\npassword=pw\nqdxpath=$AGENT\n", 0, false,
     "  Invalid TCP port number (1 to 65535)!\n", nullptr},
    {"HighestPortLoads", "port=65535\npassword=pw\nqdxpath=$AGENT\n", 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(s.port, 65535); }},
    {"ResourceBoundsAreRead",
     kRequired +
         "maxsessions=8\nrequesttimeout=1500\nkeepalive=0\nwalkworkers=64\nfsstall=1\nfsstuck=1\n",
     0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(s.maxsessions, 8);
         EXPECT_EQ(s.requesttimeout, 1500);
         EXPECT_EQ(s.keepalive, 0);
         EXPECT_EQ(s.walkworkers, 64);
         EXPECT_EQ(s.fsstall, 1);
         EXPECT_EQ(s.fsstuck, 1);
     }},
    // A bound of 0 would not lift the bound but refuse every peer.
    {"ResourceBoundsBelowTheirRangeAreRefused",
     kRequired +
         "maxsessions=0\nrequesttimeout=-5\nkeepalive=-1\nwalkworkers=0\nfsstall=0\nfsstuck=-1\n",
     0, false,
     "  Invalid session limit (maxsessions must be 1 or more)!\n"
     "  Invalid request time limit (requesttimeout must be 1 or more)!\n"
     "  Invalid keepalive time (0 for none, or seconds)!\n"
     "  Invalid number of walk workers (walkworkers must be 1 to 64)!\n"
     "  Invalid file-system stall time (fsstall must be 1 or more)!\n"
     "  Invalid number of stuck calls (fsstuck must be 1 or more)!\n",
     nullptr},
    {"WalkWorkersAboveTheirRangeAreRefused", kRequired + "walkworkers=65\n", 0, false,
     "  Invalid number of walk workers (walkworkers must be 1 to 64)!\n", nullptr},
    {"EveryMissingRequiredKeyIsReported", "comment=x\n", 0, false,
     "  TCP post is not specified!\n  Password is not specified!\n"
     "  Full path to the agent is not specified!\n",
     nullptr},
    {"NulByteEndsTheValueNotTheLine",
     "comment=ab\0cd=ef\npassword=pw\nport=5000\nqdxpath=$AGENT\n"s, 0, true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.comment), "ab");
         EXPECT_EQ(Str(s.password), "pw");
     }},
    {"NulByteBeforeTheEqualsSignHidesTheKey", kRequired + "password\0=x\n"s, 0, true, "",
     [](const TQDXSettings& s) { EXPECT_EQ(Str(s.password), "pw"); }},
    {"LinesAcrossTheReadBuffer", std::string(4090, '#') + "\ncomment=across\n" + kRequired, 0, true,
     "", [](const TQDXSettings& s) { EXPECT_EQ(Str(s.comment), "across"); }},
    // 1023 characters make a piece: the tail of a longer line is read as a line of its own.
    {"LongLineIsReadInPieces", kRequired + "comment=" + std::string(1015, 'x') + "timeout=250\n", 0,
     true, "",
     [](const TQDXSettings& s) {
         EXPECT_EQ(Str(s.comment), std::string(1015, 'x'));
         EXPECT_EQ(s.timeout, 250);
     }},
};

TEST_F(ConfigReader, Cases) {
    for (const ReaderCase& c : kReaderCases) {
        SCOPED_TRACE(c.name);
        record_ = TQDXSettings();
        SetCfgFile(record_, cfg_);
        record_.port = c.commandLinePort;
        String message;
        EXPECT_EQ(Load(c.text, message), c.loads);
        EXPECT_EQ(Str(message), c.message);
        if (c.check) c.check(record_);
    }
}

TEST_F(ConfigReader, ReloadKeepsPortAndTheFieldsTheFileNoLongerNames) {
    String message;
    ASSERT_TRUE(Load(kRequired + "host=10.1.1.1\ntimeout=250\nverboselogfile=v.log\n"
                                 "proccntscript=/s/cnt.sh\ncomment=old\nmaxsessions=8\n"
                                 "walkworkers=1\nfsstall=100\nfsstuck=9\n",
                     message));
    ASSERT_TRUE(Load("port=6000\npassword=pw\nqdxpath=$AGENT\n", message)) << Str(message);
    EXPECT_EQ(record_.port, 5000);
    EXPECT_EQ(record_.timeout, 250);
    EXPECT_EQ(Str(record_.host), "10.1.1.1");
    EXPECT_EQ(Str(record_.verboselogfile), "v.log");
    EXPECT_EQ(Str(record_.proccntscript), "/s/cnt.sh");
    EXPECT_EQ(Str(record_.comment), "");
    EXPECT_EQ(record_.maxsessions, 4096) << "the bounds go back to their defaults";
    EXPECT_EQ(record_.walkworkers, 2);
    EXPECT_EQ(record_.fsstall, 5000);
    EXPECT_EQ(record_.fsstuck, 4);
}

// The default denied paths go off only from a file nobody but root can change: a file of the
// agent's own user would let a program the agent runs lift them.
TEST_F(ConfigReader, DenyDefaultsOffOnlyFromAFileOfRootAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "gives a file to another user; CI runs as root";
    String message;
    ASSERT_TRUE(Load(kRequired + "denydefaults=0\ndenypaths=/srv/a  /srv/b\n", message));
    EXPECT_EQ(record_.denydefaults, 0);
    EXPECT_EQ(Str(record_.denypaths), "/srv/a\r\n/srv/b");
    EXPECT_EQ(Str(message), "");

    // The same file, belonging to the user the agent runs as ("-u nobody").
    std::snprintf(record_.runuser, sizeof record_.runuser, "nobody");
    ASSERT_EQ(chown(cfg_.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(Load(kRequired + "denydefaults=0\n", message)) << Str(message);
    EXPECT_EQ(record_.denydefaults, 1);
    EXPECT_EQ(Str(message), "denydefaults=0 ignored, the default denied paths stay: '" + cfg_ +
                                "' belongs to user 65534, not to root\n");
    ASSERT_TRUE(Load(kRequired, message));
    EXPECT_EQ(record_.denydefaults, 1);
    EXPECT_EQ(Str(record_.denypaths), "") << "reset by every load";
}

TEST_F(ConfigReader, ReaderErrors) {
    String message;
    TQDXSettings unnamed;
    EXPECT_FALSE(LoadOptions_(unnamed, message));
    EXPECT_EQ(Str(message), "Configuration file is not specified");

    SetCfgFile(record_, dir_ / "missing.cfg");
    EXPECT_FALSE(LoadOptions_(record_, message));
    EXPECT_EQ(Str(message), "Cannot open configuration file '" + (dir_ / "missing.cfg") + "'");

    // A folder opens but cannot be read.
    SetCfgFile(record_, dir_.path());
    EXPECT_FALSE(LoadOptions_(record_, message));
    EXPECT_EQ(Str(message), "Cannot open configuration file '" + dir_.path() + "'");
}

// Plugin lines: kept when sound, the later of two with one name wins, a line too long for one
// piece and a continuation piece that looks like one are left out with a note, and a reload that
// no longer names them forgets them.
TEST_F(ConfigReader, PluginLines) {
    const std::string base = "port=1\npassword=p\nqdxpath=$AGENT\n";
    std::string longLine = "plugin.long=/bin/echo " + std::string(1100, 'x') + "\n";
    std::string hidden = "plugin.cover=/bin/echo " + std::string(1023 - 23, 'y') +
                         "plugin.hidden=/bin/evil\n";
    String message;
    ASSERT_TRUE(Load(base + "plugins=1\npluginargs=1\nPlugin.Check_A=/bin/a 1\n"
                            "plugin.b=/bin/b $ARG1$\nplugin.check_a=/bin/a 2\nplugin.rel=a\n" +
                         longLine + hidden,
                     message));
    EXPECT_EQ(record_.plugins, 1);
    EXPECT_EQ(record_.pluginargs, 1);
    ASSERT_EQ(record_.pluginlist.size(), 2u);
    EXPECT_EQ(record_.pluginlist[0].name, "check_a");
    EXPECT_EQ(record_.pluginlist[0].words, (std::vector<std::string>{"/bin/a", "2"}));
    EXPECT_EQ(record_.pluginlist[1].placeholders, 1);
    std::string notes = Str(message);
    EXPECT_NE(notes.find("Plugin 'rel' left out: the program must be given with its absolute "
                         "path"), std::string::npos) << notes;
    EXPECT_NE(notes.find("Plugin 'long' left out: the line is longer"), std::string::npos);
    EXPECT_NE(notes.find("Plugin 'cover' left out"), std::string::npos);
    EXPECT_NE(notes.find("Plugin 'hidden' left out"), std::string::npos);

    ASSERT_TRUE(Load(base, message));
    EXPECT_EQ(record_.plugins, 0);
    EXPECT_EQ(record_.pluginargs, 0);
    EXPECT_TRUE(record_.pluginlist.empty());
}

TEST_F(ConfigReader, LoadPublishesOnSuccessAndKeepsTheSettingsInForceOnFailure) {
    SettingsGuard guard;
    TQDXSettings initial;
    SetCfgFile(initial, cfg_);
    PublishSettings(initial);
    String message;
    WriteFile(cfg_, Expand(kRequired + "comment=first\n"));
    ASSERT_TRUE(LoadOptions(message)) << Str(message);
    EXPECT_EQ(Str(CurrentSettings()->password), "pw");
    EXPECT_EQ(Str(CurrentSettings()->comment), "first");

    WriteFile(cfg_, "comment=second\n");
    EXPECT_FALSE(LoadOptions(message));
    EXPECT_EQ(Str(message),
              "  Password is not specified!\n  Full path to the agent is not specified!\n");
    EXPECT_EQ(Str(CurrentSettings()->password), "pw");
    EXPECT_EQ(Str(CurrentSettings()->comment), "first");

    std::filesystem::remove(cfg_);
    EXPECT_FALSE(LoadOptions(message));
    EXPECT_EQ(Str(CurrentSettings()->password), "pw");
}

class ConfigPutRight : public ::testing::Test {
protected:
    EnvGuard env_;
    TempDir dir_;
};

TEST_F(ConfigPutRight, TemporaryFolder) {
    struct Case {
        const char* name;
        std::string tmpdir;
        std::optional<std::string> envTmpdir, envTmp;
        std::string expected;
    };
    const std::string existing = dir_.path();
    const Case cases[] = {
        {"TrailingSlashGoes", existing + "/", std::nullopt, std::nullopt, existing},
        {"MissingFolderWithoutVariablesIsCurrent", existing + "/none", std::nullopt, std::nullopt,
         "."},
        {"EmptyTakesTMPDIR", "", existing + "/", "/nonexistent", existing},
        {"TMPWhenTMPDIRIsUnset", "", std::nullopt, existing, existing},
        {"TMPDIRNamingNoFolderGivesCurrent", "", "/nonexistent", existing, "."},
        {"RootKeepsItsSlash", "/", std::nullopt, std::nullopt, "/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.envTmpdir ? setenv("TMPDIR", c.envTmpdir->c_str(), 1) : unsetenv("TMPDIR");
        c.envTmp ? setenv("TMP", c.envTmp->c_str(), 1) : unsetenv("TMP");
        TQDXSettings s;
        s.tmpdir = c.tmpdir.c_str();
        String message;
        PutRight(s, message);
        EXPECT_EQ(Str(s.tmpdir), c.expected);
        // The agent's own environment is left alone: children get the folder in theirs.
        const char* after = getenv("TMPDIR");
        EXPECT_EQ(after != nullptr, c.envTmpdir.has_value());
        if (after != nullptr) {
            EXPECT_EQ(std::string(after), *c.envTmpdir);
        }
    }
}

TEST_F(ConfigPutRight, ScriptsWithoutFolderGoBesideTheAgent) {
    TQDXSettings s;
    s.tmpdir = dir_.path().c_str();
    s.qdxpath = "/opt/agent/bin/agent";
    s.cpuusagescript = "cpu.sh";
    s.proclistscript = "/usr/local/list.sh";
    String message;
    PutRight(s, message);
    EXPECT_EQ(Str(s.cpuusagescript), "/opt/agent/bin//cpu.sh");
    EXPECT_EQ(Str(s.proclistscript), "/usr/local/list.sh");
    EXPECT_EQ(Str(s.proccntscript), "/opt/agent/bin//");
    PutRight(s, message);
    EXPECT_EQ(Str(s.cpuusagescript), "/opt/agent/bin//cpu.sh");

    TQDXSettings bare;
    bare.tmpdir = dir_.path().c_str();
    bare.qdxpath = "agent";
    bare.cpuusagescript = "cpu.sh";
    PutRight(bare, message);
    EXPECT_EQ(Str(bare.cpuusagescript), "cpu.sh");
}

TEST(ConfigSnapshot, ReadersNeverSeeAHalfPublishedRecord) {
    SettingsGuard guard;
    TQDXSettings first;
    first.comment = "0";
    PublishSettings(first);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++)
        readers.emplace_back([&] {
            while (!stop.load()) {
                SettingsSnapshot s = CurrentSettings();
                if (s->timeout != s->port || Str(s->comment) != std::to_string(s->port)) torn++;
            }
        });
    for (int i = 0; i < 2000; i++) {
        auto lock = LockOptions();
        TQDXSettings next = *CurrentSettings();
        next.port = next.timeout = i;
        next.comment = std::to_string(i).c_str();
        PublishSettings(next);
    }
    stop = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(ConfigAgentStatus, IdentityAndBoolConst) {
    EXPECT_STREQ(AgentStatus.signature, "BrZpQdStRec");
    EXPECT_STREQ(AgentStatus.AgentName, "Brenn Quodex");
    EXPECT_STREQ(AgentStatus.AgentPlatform, "FreeBSD");
    EXPECT_STREQ(AgentStatus.AgentVersion, "1.30");
    EXPECT_STREQ(AgentStatus.AgentDeveloper, "Brennware");
    EXPECT_STREQ(BoolConst[0], "0");
    EXPECT_STREQ(BoolConst[1], "1");
}

// ---- messages --------------------------------------------------------------------------------

class Messages : public ::testing::Test {
protected:
    void SetUp() override {
        SetCfgFile(settings_, dir_ / "qdx.cfg");
        settings_.oklogfile = "ok.log";
        settings_.badlogfile = "bad.log";
        settings_.verboselogfile = "verbose.log";
    }
    void Publish() { PublishSettings(settings_); }
    std::string Log(const char* name) { return ReadFile(dir_ / name).value_or("<none>"); }

    SettingsGuard guard_;
    TempDir dir_;
    TQDXSettings settings_;
};

// Every digit as "D", so lines stamped with the clock compare exactly.
std::string Masked(std::string text) {
    for (char& c : text)
        if (c >= '0' && c <= '9') c = 'D';
    return text;
}

TEST_F(Messages, ConsoleLineWithPeerAndWithoutOne) {
    settings_.interactive = 1;
    Publish();
    in_addr peer{};
    inet_pton(AF_INET, "10.1.2.3", &peer);
    ::testing::internal::CaptureStdout();
    showmessage("TCP connection accepted\n", peer, msgOk, 0);
    showmessage("value %d of %s\n", LOCAL, msgInfo, 1, 42, "x");
    EXPECT_EQ(Masked(::testing::internal::GetCapturedStdout()),
              "[qdx][DD:DD:DD]\t DD.D.D.D\t TCP connection accepted\n"
              "[qdx][DD:DD:DD]\t qdx\t\t value DD of x\n");
}

TEST_F(Messages, LogLinesGoWhereTheSettingsSay) {
    settings_.logsuccess = 1;
    settings_.logfails = 1;
    settings_.verbose = 1;
    Publish();
    ::testing::internal::CaptureStdout();
    showmessage("good\n", LOCAL, msgOk, 0);
    showmessage("bad %s\n", LOCAL, msgFail, 1, "one");
    showmessage("info\n", LOCAL, msgInfo, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    const std::string stamp = "[DD/DD/DDDD DD:DD:DD]\t qdx\t\t ";
    EXPECT_EQ(Masked(Log("ok.log")), stamp + "good\n");
    EXPECT_EQ(Masked(Log("bad.log")), stamp + "bad one\n");
    EXPECT_EQ(Masked(Log("verbose.log")),
              stamp + "good\n" + stamp + "bad one\n" + stamp + "info\n");
}

TEST_F(Messages, LogsThatAreOffStayUnwritten) {
    settings_.logfails = 0;
    Publish();
    showmessage("good\n", LOCAL, msgOk, 0);
    showmessage("bad\n", LOCAL, msgFail, 0);
    EXPECT_FALSE(Exists(dir_ / "ok.log"));
    EXPECT_FALSE(Exists(dir_ / "bad.log"));
    EXPECT_FALSE(Exists(dir_ / "verbose.log"));
}

TEST_F(Messages, DetailNeedsVerboseDetail) {
    settings_.interactive = 1;
    settings_.verbose = 1;
    Publish();
    ::testing::internal::CaptureStdout();
    showmessage("detail %d\n", LOCAL, msgDetail, 1, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(Exists(dir_ / "verbose.log"));

    settings_.verbosedetail = 1;
    Publish();
    ::testing::internal::CaptureStdout();
    showmessage("detail %d\n", LOCAL, msgDetail, 1, 2);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("detail 2\n"), std::string::npos);
    EXPECT_NE(Log("verbose.log").find("detail 2\n"), std::string::npos);
}

TEST_F(Messages, LongMessagesAreCutTo511Characters) {
    settings_.logsuccess = 1;
    Publish();
    std::string text(600, 'm');
    showmessage(text.c_str(), LOCAL, msgOk, 0);
    // A literal text is not a format: a "%s" in it prints as it stands.
    showmessage("100%s\n", LOCAL, msgOk, 0);
    std::string log = Log("ok.log");
    ASSERT_GT(log.size(), 512u);
    EXPECT_EQ(log.substr(0, 511).back(), 'm');
    EXPECT_EQ(log[511], '[');  // the cut line lost its line end; the next line follows at once
    EXPECT_EQ(log.substr(log.size() - 6), "100%s\n");
}

// Failure messages copied to the system log: the local syslog layout, facility daemon, refused
// logins at authpriv, whether or not the failure log is written; nothing else is copied.
TEST_F(Messages, LogSyslogCopiesFailureMessagesToTheSystemLog) {
    const std::string socketPath = dir_ / "log";
    int receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SetLocalLogPathForTesting(socketPath.c_str());
    auto next = [&] {
        pollfd ready{receiver, POLLIN, 0};
        if (poll(&ready, 1, 2000) != 1) return std::string("<none>");
        char datagram[1024];
        ssize_t n = recv(receiver, datagram, sizeof datagram, 0);
        return n > 0 ? std::string(datagram, static_cast<size_t>(n)) : std::string("<none>");
    };
    const std::string pid = std::to_string(getpid());
    in_addr peer{};
    inet_pton(AF_INET, "127.0.0.5", &peer);

    settings_.logfails = 0;
    settings_.logsyslog = 1;
    Publish();
    showmessage("Accept error: %s\n", LOCAL, msgFail, 1, "x\ty");
    std::string failure = next();
    EXPECT_TRUE(std::regex_match(failure, std::regex("<28>[A-Z][a-z][a-z] [ 1-3][0-9] "
                                                     "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] qdx\\[" +
                                                     pid + "\\]: Accept error: x y")))
        << failure;
    showloginfailure("Wrong password from 127.0.0.5\n", peer);
    std::string login = next();
    EXPECT_EQ(login.substr(0, 4), "<84>");
    EXPECT_NE(login.find(" qdx[" + pid + "]: 127.0.0.5: Wrong password from 127.0.0.5"),
              std::string::npos)
        << login;
    showmessage("accepted\n", peer, msgOk, 0);
    showmessage("info\n", peer, msgInfo, 0);
    showmessage("refused\n", peer, msgFail, 0);
    std::string refused = next();
    EXPECT_EQ(refused.substr(0, 4), "<28>");
    EXPECT_TRUE(refused.ends_with("]: 127.0.0.5: refused")) << refused;
    EXPECT_FALSE(Exists(dir_ / "bad.log"));

    settings_.logsyslog = 0;
    settings_.logfails = 1;
    Publish();
    showmessage("not copied\n", LOCAL, msgFail, 0);
    showloginfailure("Wrong password from 127.0.0.5\n", peer);
    EXPECT_EQ(next(), "<none>");
    EXPECT_NE(Log("bad.log").find("\t 127.0.0.5\t Wrong password from 127.0.0.5\n"),
              std::string::npos);
    SetLocalLogPathForTesting(nullptr);
    close(receiver);
}

TEST(LogSafe, EscapesControlBytesAndBackslashes) {
    const std::string forged = "GET\r\n[01/01/2026 00:00:00]\t qdx";
    EXPECT_EQ(Str(LogSafe(String(forged.data(), static_cast<int>(forged.size())))),
              "GET\\x0D\\x0A[01/01/2026 00:00:00]\\x09 qdx");
    const std::string bytes = "a\\b\x7F"s + '\0' + "\xC3\xA9";
    EXPECT_EQ(Str(LogSafe(String(bytes.data(), static_cast<int>(bytes.size())))),
              "a\\x5Cb\\x7F\\x00\xC3\xA9");
    EXPECT_EQ(Str(LogSafe(String())), "");
}

TEST_F(Messages, WritelogPlacesBareNamesBesideTheConfiguration) {
    Publish();
    writelog("bare.log", "one\n");
    writelog((dir_ / "abs.log").c_str(), "two\n");
    writelog("", "ignored\n");
    writelog("bare.log", nullptr);
    writelog((dir_ / "nofolder/x.log").c_str(), "lost\n");
    EXPECT_EQ(Log("bare.log"), "one\n");
    EXPECT_EQ(Log("abs.log"), "two\n");
}

}  // namespace
