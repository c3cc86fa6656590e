// The configuration writer: the line-by-line rewrite, the appended keys, the file swap with its
// backup, and a save interrupted at every file operation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/config_fs.h"
#include "config/options.h"
#include "config/settings.h"
#include "config_fixture.h"

using namespace configtest;
using namespace std::string_literals;

namespace {

// The record every case starts from, with the managed keys as the writer should append them, in
// their order.
const std::vector<std::pair<std::string, std::string>> kManaged = {
    {"host", "10.0.0.9"},
    {"port", "5000"},
    {"timeout", "4000"},
    {"comment", "c"},
    {"password", "pw"},
    {"filteractive", "0"},
    {"filtermarks", "1"},
    {"filterlist", "127.0.0.1"},
    {"verboselogfile", "v.log"},
    {"logsuccess", "0"},
    {"logfails", "1"},
    {"oklogfile", "log1.txt"},
    {"badlogfile", "log2.txt"},
    {"allowupdates", "1"},
    {"allowmanage", "1"},
    {"updateaddr", "127.0.0.1"},
    {"manageaddr", "127.0.0.1"},
    {"unc", "1"},
    {"freespace", "1"},
    {"foldersize", "1"},
    {"countfiles", "1"},
    {"fileexists", "1"},
    {"filecrc", "1"},
    {"comparefiles", "1"},
    {"process", "1"},
    {"cpuusage", "1"},
    {"script", "1"},
    {"external", "1"},
    {"ping", "1"},
    {"tcp", "1"},
    {"udp", "1"},
    {"textlog", "1"},
    {"shellscript", "1"},
    {"executeaction", "0"},
    {"tcpudpaction", "0"},
    {"syslogaction", "0"},
};

// The lines appended for every managed key not in `present` (a blank-separated list), each ended
// by `eol`.
std::string Appended(const std::string& present, const std::string& eol = "\r\n") {
    std::set<std::string> seen;
    std::istringstream words(present);
    for (std::string w; words >> w;) seen.insert(w);
    std::string tail;
    for (const auto& [key, value] : kManaged)
        if (!seen.count(key)) tail += key + "=" + value + eol;
    return tail;
}

class ConfigWriter : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = dir_ / "agent";
        WriteFile(agent_, "#!/bin/sh\n");
        cfg_ = dir_ / "qdx.cfg";
        record_ = BaseRecord();
    }
    void TearDown() override { configfs::SetFaultHook(nullptr); }

    TQDXSettings BaseRecord() const {
        TQDXSettings s;
        SetCfgFile(s, cfg_);
        s.tmpdir = dir_.path().c_str();
        s.qdxpath = agent_.c_str();
        s.host = "10.0.0.9";
        s.port = 5000;
        s.timeout = 4000;
        s.comment = "c";
        s.password = "pw";
        s.filtermarks = "1";
        s.filterlist = "127.0.0.1";
        s.verboselogfile = "v.log";
        s.logfails = 1;
        s.oklogfile = "log1.txt";
        s.badlogfile = "log2.txt";
        s.allowupdates = s.allowmanage = 1;
        s.updateaddr = s.manageaddr = "127.0.0.1";
        for (int TQDXSettings::*test :
             {&TQDXSettings::unc, &TQDXSettings::freespace, &TQDXSettings::foldersize,
              &TQDXSettings::countfiles, &TQDXSettings::fileexists, &TQDXSettings::filecrc,
              &TQDXSettings::comparefiles, &TQDXSettings::process, &TQDXSettings::cpuusage,
              &TQDXSettings::script, &TQDXSettings::external, &TQDXSettings::ping,
              &TQDXSettings::tcp, &TQDXSettings::udp, &TQDXSettings::textlog,
              &TQDXSettings::shellscript})
            s.*test = 1;
        return s;
    }
    // Saves `record_` over a file holding `text` and returns the new file.
    std::string Save(std::string_view text, String& message) {
        WriteFile(cfg_, text);
        EXPECT_TRUE(SaveOptions_(record_, message)) << Str(message);
        return ReadFile(cfg_).value_or("<none>");
    }
    bool Loadable() const {
        TQDXSettings fresh;
        SetCfgFile(fresh, cfg_);
        String message;
        return LoadOptions_(fresh, message);
    }

    EnvGuard env_;
    TempDir dir_;
    std::string agent_, cfg_;
    TQDXSettings record_;
};

struct RewriteCase {
    const char* name;
    std::string text;
    std::function<void(TQDXSettings&)> change;
    std::string expected;  // the rewritten lines, before the appended ones
    std::string present;   // the managed keys the text names
    std::string eol;       // the line end of the file's first line, which new lines take
};

// Rewritten and appended lines end as the file's first line ends; every other line is copied byte
// for byte.
const RewriteCase kRewriteCases[] = {
    {"CommentAndUnknownKeyStayPortKeepsItsBlanks",
     "# keep this = comment\r\nport = 1234\r\nunknownkey = keep me \r\n", nullptr,
     "# keep this = comment\r\nport = 5000\r\nunknownkey = keep me \r\n", "port", "\r\n"},
    {"LinesEndedByLFStayLF",
     "# agent\nport=5000\npassword=pw\ncomment=old\nunknownkey = keep me \nlogfails=1\n", nullptr,
     "# agent\nport=5000\npassword=pw\ncomment=c\nunknownkey = keep me \nlogfails=1\n",
     "port password comment logfails", "\n"},
    {"RewrittenLinesTakeTheFirstLinesEnd", "port=1\ncomment=old\r\nunknown=x\r\nudp=1\r\n", nullptr,
     "port=5000\ncomment=c\nunknown=x\r\nudp=1\n", "port comment udp", "\n"},
    {"FirstLineEndedByCRLF", "port=1\r\ncomment=old\n", nullptr, "port=5000\r\ncomment=c\r\n",
     "port comment", "\r\n"},
    {"FlagReplacesOnlyItsFirstCharacter", "udp=yes\r\ntcp =  yes please\n",
     [](TQDXSettings& s) { s.udp = 0; }, "udp=0es\r\ntcp =  1es please\r\n", "udp tcp", "\r\n"},
    {"FlagEmptyValues", "ping=\r\nudp=\ntcp=", nullptr, "ping=1\r\nudp=1\r\ntcp=1\r\n",
     "ping udp tcp", "\r\n"},
    {"FlagKeepsLineEnd", "ping=1\r\n", [](TQDXSettings& s) { s.ping = 0; }, "ping=0\r\n", "ping",
     "\r\n"},
    {"ClearedTextLeavesKeyAndEquals", "comment = old words\r\n",
     [](TQDXSettings& s) { s.comment = ""; }, "comment = \r\n", "comment", "\r\n"},
    {"FilterListWithSingleSpaces", "FilterList=1.1.1.1\nfiltermarks=1\n",
     [](TQDXSettings& s) {
         s.filterlist = "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3";
         s.filtermarks = "111";
     },
     "FilterList=10.0.0.1 10.0.0.2 10.0.0.3\nfiltermarks=111\n", "filterlist filtermarks", "\n"},
    {"EveryOccurrenceIsRewritten", "comment=a\r\ncomment=b\r\n", nullptr,
     "comment=c\r\ncomment=c\r\n", "comment", "\r\n"},
    {"UnmanagedKeysAndLineEndsStay",
     "qdxpath=/x\ntmpdir=/tmp\r\n;port=1\n#x\n\nno equals\n=empty key\nwalkworkers = 4\n",
     [](TQDXSettings& s) { s.walkworkers = 1; },
     "qdxpath=/x\ntmpdir=/tmp\r\n;port=1\n#x\n\nno equals\n=empty key\nwalkworkers = 4\n", "",
     "\n"},
    {"LastLineWithoutLineEndGetsOneBeforeAppendedLines", "qdxpath=/a/b", nullptr, "qdxpath=/a/b\n",
     "", "\n"},
    {"LongLinesStayWhole", "#" + std::string(1100, 'x') + "\r\n", nullptr,
     "#" + std::string(1100, 'x') + "\r\n", "", "\r\n"},
    {"TextIsCutToOnePiece", "comment = old\r\n",
     [](TQDXSettings& s) { s.comment = std::string(2000, 'y').c_str(); },
     "comment = " + std::string(1011, 'y') + "\r\n", "comment", "\r\n"},
    // An LF would add a line; a lone CR is an ordinary byte to the reader and stays.
    {"LineBreaksInsideATextCannotAddLines", "comment=old\r\n",
     [](TQDXSettings& s) { s.comment = "a\r\nqdxpath=/evil\nb"; },
     "comment=a\r qdxpath=/evil b\r\n", "comment", "\r\n"},
    {"ValueWithoutRoomBesideItsBlanksGetsAFreshLine",
     "comment" + std::string(900, ' ') + "= old\r\nport" + std::string(1014, ' ') + "=1\r\n",
     [](TQDXSettings& s) { s.comment = std::string(500, 'y').c_str(); },
     "comment=" + std::string(500, 'y') + "\r\nport=5000\r\n", "comment port", "\r\n"},
    {"NulBytesAreCopiedWhereTheLineIsKept", "unknown=a\0b\r\ncomment=x\0y\r\n"s, nullptr,
     "unknown=a\0b\r\ncomment=c\r\n"s, "comment", "\r\n"},
};

TEST_F(ConfigWriter, Rewrite) {
    for (const RewriteCase& c : kRewriteCases) {
        SCOPED_TRACE(c.name);
        record_ = BaseRecord();
        if (c.change) c.change(record_);
        String message;
        EXPECT_EQ(Save(c.text, message), c.expected + Appended(c.present, c.eol));
    }
}

// A file that names every managed key gets nothing appended: a last line without a line end stays
// as it was.
TEST_F(ConfigWriter, FullFileKeepsItsLastLineAsItIs) {
    std::string all;
    for (const auto& [key, value] : kManaged) all += key + "=" + value + "\n";
    all += "# no line end";
    String message;
    EXPECT_EQ(Save(all, message), all);
}

TEST_F(ConfigWriter, MissingKeysAreAppendedInTheirOrder) {
    std::string all;
    for (const auto& [key, value] : kManaged)
        if (key != "freespace" && key != "syslogaction") all += key + "=" + value + "\r\n";
    String message;
    EXPECT_EQ(Save(all, message), all + "freespace=1\r\nsyslogaction=0\r\n");
}

TEST_F(ConfigWriter, AppendedTextIsCutToOnePiece) {
    record_.comment = std::string(2000, 'y').c_str();
    String message;
    std::string out = Save("", message);
    EXPECT_NE(out.find("\ncomment=" + std::string(1013, 'y') + "\n"), std::string::npos);
}

TEST_F(ConfigWriter, SaveKeepsThePreviousFileAsOldAndItsPermissions) {
    const std::string agentLine = "qdxpath=" + agent_ + "\n";
    WriteFile(cfg_, "port=1\n" + agentLine);
    chmod(cfg_.c_str(), 0640);
    WriteFile(cfg_ + ".Old", "older\n");
    String message;
    ASSERT_TRUE(SaveOptions_(record_, message)) << Str(message);
    EXPECT_EQ(ReadFile(cfg_ + ".Old"), "port=1\n" + agentLine);
    EXPECT_EQ(ReadFile(cfg_), "port=5000\n" + agentLine + Appended("port", "\n"));
    EXPECT_FALSE(Exists(cfg_ + ".New"));
    struct stat info {};
    ASSERT_EQ(stat(cfg_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_TRUE(Loadable());
}

// A failed link and a failed copy leave the older backup as it was.
TEST_F(ConfigWriter, OlderBackupStaysWhenNoNewOneCanBeMade) {
    WriteFile(cfg_ + ".Old", "older\n");
    static std::atomic<int> opens{0};
    opens = 0;
    configfs::SetFaultHook([](const char* op) {
        // The configuration and the new file open; the copy for the backup does not.
        return std::strcmp(op, "link") == 0 || (std::strcmp(op, "open") == 0 && ++opens > 2);
    });
    String message;
    std::string saved = Save("port=1\n", message);
    configfs::SetFaultHook(nullptr);
    EXPECT_EQ(saved, "port=5000\n" + Appended("port", "\n"));
    EXPECT_EQ(ReadFile(cfg_ + ".Old"), "older\n");
    EXPECT_FALSE(Exists(cfg_ + ".Old.New"));
}

// Whatever the file gives the reader, a save writes back in a form that reads the same.
TEST_F(ConfigWriter, FileValuesReadBackUnchangedAfterASave) {
    const std::string text = "password=p\rw\nqdxpath=" + agent_ +
                             "\nport=5000\ncomment=one\rtwo\nfilterlist=a%0Ab%0D%0A%0D%0Ac  d\n"
                             "filtermarks=1111\nmanageaddr = \t10.0.0.1 \n";
    WriteFile(cfg_, text);
    TQDXSettings loaded;
    SetCfgFile(loaded, cfg_);
    String message;
    ASSERT_TRUE(LoadOptions_(loaded, message)) << Str(message);
    EXPECT_EQ(Str(loaded.filterlist), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(Str(loaded.filteractivelist), "\r\na\r\nb\r\nc\r\nd\r\n");
    TQDXSettings inForce = loaded;
    ASSERT_TRUE(SaveOptions_(inForce, message)) << Str(message);
    TQDXSettings back;
    SetCfgFile(back, cfg_);
    ASSERT_TRUE(LoadOptions_(back, message)) << Str(message);
    const char* differs = FirstFileDifference(inForce, back);
    EXPECT_EQ(differs, nullptr) << differs;
    EXPECT_EQ(Str(back.password), "p\rw");
}

TEST_F(ConfigWriter, ConfigFileHoldsOnlyWhatReadsBackTheSame) {
    struct Case {
        String TQDXSettings::*field;
        std::string value;
        bool holds;
    } cases[] = {
        {&TQDXSettings::comment, "two  words", true},
        {&TQDXSettings::comment, "", true},
        {&TQDXSettings::comment, "a\rb", true},
        {&TQDXSettings::comment, "a\nb", false},
        {&TQDXSettings::comment, "a\0b"s, false},
        {&TQDXSettings::comment, " lead", false},
        {&TQDXSettings::comment, "trail\t", false},
        {&TQDXSettings::comment, "end\r", false},
        {&TQDXSettings::comment, std::string(1013, 'x'), true},  // "comment=" + 1013 + CR LF
        {&TQDXSettings::comment, std::string(1014, 'x'), false},
        {&TQDXSettings::filterlist, "10.0.0.1\r\n10.0.0.2", true},
        {&TQDXSettings::filterlist, "10.0.0.1\n10.0.0.2", false},
        {&TQDXSettings::filterlist, "10.0.0.1\r\n\r\n10.0.0.2", false},
        {&TQDXSettings::filterlist, "10.0.0.1 10.0.0.2", false},
        {&TQDXSettings::qdxpath, "/bin/qdx", false},  // not written by the writer
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            ConfigFileHolds(c.field, String(c.value.data(), static_cast<int>(c.value.size()))),
            c.holds)
            << c.value;
}

TEST_F(ConfigWriter, ReadBackGivesTheSavedValues) {
    record_.filterlist = "10.0.0.1\r\n10.0.0.2";
    record_.filtermarks = "01";
    record_.comment = "two  words";
    record_.udp = 0;
    String message;
    Save("password=old\nqdxpath=" + agent_ + "\n", message);
    TQDXSettings back;
    SetCfgFile(back, cfg_);
    ASSERT_TRUE(LoadOptions_(back, message)) << Str(message);
    EXPECT_EQ(Str(back.filteractivelist), "\r\n10.0.0.2\r\n");
    EXPECT_EQ(Str(back.comment), "two  words");
    EXPECT_EQ(Str(back.password), "pw");
    EXPECT_EQ(back.udp, 0);
    EXPECT_EQ(Str(back.host), "10.0.0.9");
}

TEST_F(ConfigWriter, Errors) {
    String message;
    TQDXSettings unnamed;
    unnamed.tmpdir = dir_.path().c_str();
    EXPECT_FALSE(SaveOptions_(unnamed, message));
    EXPECT_EQ(Str(message), "Configuration file is not specified");

    EXPECT_FALSE(SaveOptions_(record_, message));
    EXPECT_EQ(Str(message), "Cannot open configuration file '" + cfg_ + "'");

    // Something under the new file's name that cannot be removed.
    WriteFile(cfg_, "port=1\n");
    std::filesystem::create_directory(cfg_ + ".New");
    WriteFile(cfg_ + ".New/x", "");
    EXPECT_FALSE(SaveOptions_(record_, message));
    EXPECT_EQ(Str(message), "Cannot create new configuration file '" + cfg_ + ".New'");
    EXPECT_EQ(ReadFile(cfg_), "port=1\n");
    std::filesystem::remove_all(cfg_ + ".New");

    configfs::SetFaultHook([](const char* op) { return std::strcmp(op, "rename") == 0; });
    EXPECT_FALSE(SaveOptions_(record_, message));
    configfs::SetFaultHook(nullptr);
    EXPECT_EQ(Str(message), "Cannot overwrite configuration file '" + cfg_ + "'");
    EXPECT_EQ(ReadFile(cfg_), "port=1\n");
    EXPECT_FALSE(Exists(cfg_ + ".New"));
}

std::atomic<int> countdown{0};
std::atomic<bool> linksFail{false};

bool FailNthOperation(const char* op) {
    if (linksFail && std::strcmp(op, "link") == 0) return true;
    return countdown.fetch_sub(1) == 1;
}

// Fails the first, the second, ... file operation of a save, until a save runs through. After
// each attempt a loadable configuration file is in place: the old one after a failure, the new
// one after success.
TEST_F(ConfigWriter, EveryFailedFileOperationLeavesALoadableConfiguration) {
    const std::string before = "port=1\npassword=old\nqdxpath=" + agent_ + "\n";
    String message;
    const std::string after = Save(before, message);
    ASSERT_NE(after, before);

    for (bool withoutLinks : {false, true}) {
        SCOPED_TRACE(withoutLinks ? "copy for the backup" : "hard link for the backup");
        linksFail = withoutLinks;
        int step = 1;
        for (;; step++) {
            SCOPED_TRACE("failing operation " + std::to_string(step));
            WriteFile(cfg_, before);
            std::filesystem::remove(cfg_ + ".Old");
            countdown = step;
            configfs::SetFaultHook(FailNthOperation);
            bool saved = SaveOptions_(record_, message);
            configfs::SetFaultHook(nullptr);
            bool injected = countdown <= 0;

            EXPECT_FALSE(Exists(cfg_ + ".New"));
            EXPECT_FALSE(Exists(cfg_ + ".Old.New"));
            EXPECT_TRUE(Loadable());
            if (saved) {
                EXPECT_EQ(ReadFile(cfg_), after);
                EXPECT_EQ(Str(message), "");
            } else {
                EXPECT_EQ(ReadFile(cfg_), before);
                EXPECT_EQ(Str(message).find("Cannot "), 0u) << Str(message);
            }
            if (!injected) {
                EXPECT_TRUE(saved);
                EXPECT_EQ(ReadFile(cfg_ + ".Old"), before);
                break;
            }
        }
        // open, create, write, fsync, close, link or copy, rename, folder sync
        EXPECT_GE(step, withoutLinks ? 13 : 10);
    }
    linksFail = false;
}

TEST_F(ConfigWriter, SaveOptionsWritesTheSettingsInForce) {
    SettingsGuard guard;
    record_.comment = "in force";
    PublishSettings(record_);
    WriteFile(cfg_, "comment=old\n");
    String message;
    ASSERT_TRUE(SaveOptions(message)) << Str(message);
    EXPECT_EQ(ReadFile(cfg_), "comment=in force\n" + Appended("comment", "\n"));
}

}  // namespace
