// The file and folder tests and the file list against the running agent, through the client
// library and through qdxctl.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "harness.h"

namespace {

void SetTime(const std::string& path, time_t t) {
    timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(agent.Start());
        data = dir.File("data");
        mkdir(data.c_str(), 0755);
        mkdir((data + "/log").c_str(), 0755);
        WriteFile(data + "/log/app1.log", "0123456789");
        WriteFile(data + "/log/other.txt", "abc");
        WriteFile(data + "/empty", "");
        WriteFile(data + "/a", "same content");
        WriteFile(data + "/b", "same content");
        WriteFile(data + "/c", "more content");
        mkdir((data + "/backup").c_str(), 0755);
        mkdir((data + "/backup/run1").c_str(), 0755);
        mkdir((data + "/backup/run2").c_str(), 0755);
        WriteFile(data + "/backup/run2/dump", "12345");
        SetTime(data + "/backup/run1", 1000);
        SetTime(data + "/backup/run2", 2000);
        mkdir((data + "/nothing").c_str(), 0755);
    }
    std::vector<std::string> Values(const std::string& command,
                                    const std::vector<std::string>& params) {
        QdxReplyText reply = agent.Call(command, params);
        EXPECT_EQ(reply.status, CallStatus::Ok) << reply.error;
        std::vector<std::string> values = reply.Lines();
        values.insert(values.begin(), reply.Code());
        return values;
    }
    using Lines = std::vector<std::string>;
    TempDir dir;
    Agent agent{dir};
    std::string data;
};

TEST_F(FilesTest, ExamplesOfTheTests) {
    // Free space: a trailing backslash is dropped.
    Lines usr = Values("TEST-UNC", {"/usr\\"});
    ASSERT_EQ(usr.size(), 4u);
    EXPECT_EQ(usr[0], "200");
    EXPECT_EQ(usr[1], Values("TEST-UNC", {"/usr"})[1]);
    EXPECT_EQ(Values("TEST-UNC", {data + "/missing"}), (Lines{"301", "No such file or directory"}));
    EXPECT_EQ(Values("TEST-UNC", {}), (Lines{"501", "Path not specified"}));

    // A folder that does not exist under an existing parent: a pattern that matches nothing.
    EXPECT_EQ(Values("TEST-FolderSize", {data + "/gone"}), (Lines{"200", "     0"}));
    EXPECT_EQ(Values("TEST-FolderSize", {data + "/log"}), (Lines{"200", "    13"}));
    EXPECT_EQ(Values("TEST-FolderSize", {data + "/*.log", "1"}), (Lines{"200", "    10"}));
    EXPECT_EQ(Values("TEST-FolderSize", {data + "/none/x"}),
              (Lines{"301", "Folder/File doesn`t exist or access denied"}));

    // The wildcard form answers with the file it examined.
    Lines exists = Values("TEST-FileExists", {data + "/log/app*.log"});
    ASSERT_EQ(exists.size(), 7u);
    EXPECT_EQ(exists[0], "200");
    EXPECT_EQ(exists[1], "    10");
    EXPECT_EQ(exists[4], data + "/log/app1.log");
    EXPECT_EQ(exists[5], "min");
    EXPECT_EQ(exists[6], "0");
    EXPECT_EQ(Values("TEST-FileExists", {data + "/log/*.gz"}),
              (Lines{"301", "no such file or acess denied"}));

    // The comparison modes.
    EXPECT_EQ(Values("TEST-FileCompare", {"1", data + "/a", data + "/b", "0", "1", "1"}),
              (Lines{"200", "1"}));
    EXPECT_EQ(Values("TEST-FileCompare", {"1", data + "/a", data + "/c", "0", "1"}),
              (Lines{"200", "1"}));
    EXPECT_EQ(Values("TEST-FileCompare", {"1", data + "/a", data + "/c", "0", "1", "1"}),
              (Lines{"200", "0"}));
    EXPECT_EQ(Values("TEST-FileCompare", {"2", data + "/a", data + "/empty"}), (Lines{"200", "1"}));
    EXPECT_EQ(Values("TEST-FileCompare", {"3", data + "/c", "CONTENT", "0", "1"}),
              (Lines{"200", "1"}));
    EXPECT_EQ(Values("TEST-FileCompare", {"4", data + "/a", data + "/b"}),
              (Lines{"501", "Wrong parameter"}));
    EXPECT_EQ(Values("TEST-FileCompare", {"1", data + "/a", data + "/missing"}),
              (Lines{"301", "File doesn`t exist"}));

    EXPECT_EQ(Values("TEST-FileCRC", {data + "/empty"}), (Lines{"200", "4294967295"}));
    EXPECT_EQ(Values("TEST-FileCRC", {data + "/missing"}), (Lines{"301", "Cannot open file"}));

    EXPECT_EQ(Values("TEST-CountFiles", {data + "/nothing", "*", "0", "0", "0"}),
              (Lines{"200", "0"}));
    EXPECT_EQ(Values("TEST-CountFiles", {data + "/missing", "*", "0", "0", "0"}),
              (Lines{"301", "Folder doesn`t exist or access denied"}));
    EXPECT_EQ(Values("TEST-CountFiles", {data, "*", "1", "0", "0"}), (Lines{"200", "7"}));
    EXPECT_EQ(Values("TEST-CountFiles", {data, "*", "0", "6", "0"}),
              (Lines{"501", "Wrong parameter"}));
}

// Names whose first or last bytes are not ASCII (UTF-8 here) are checked as they are: a path is
// trimmed of blanks and control bytes only.
TEST_F(FilesTest, NamesEndingInNonAsciiBytes) {
    const std::string folder = data + "/u8";
    mkdir(folder.c_str(), 0755);
    const std::string cafe = folder + "/caf\xC3\xA9", name = folder + "/\xE5\x90\x8D\xE5\x89\x8D";
    WriteFile(cafe, "1234567");
    WriteFile(name, "123");
    for (const auto& [path, size] : {std::pair{cafe, "     7"}, std::pair{name, "     3"}}) {
        Lines exists = Values("TEST-FileExists", {" " + path + " \r"});
        ASSERT_EQ(exists.size(), 7u) << path;
        EXPECT_EQ(exists[0], "200");
        EXPECT_EQ(exists[1], size);
        EXPECT_EQ(exists[4], path);
        EXPECT_EQ(Values("TEST-FileCRC", {path})[0], "200");
    }
    EXPECT_EQ(Values("TEST-FolderSize", {folder + "/\xE5\x90\x8D*"}), (Lines{"200", "     3"}));
}

TEST_F(FilesTest, RootListingHoldsTheParentButNotItself) {
    Lines root = Values("GetFilesList", {"", "", "1", "0"});
    ASSERT_GE(root.size(), 4u);
    EXPECT_EQ(root[0], "200");
    EXPECT_EQ(root[1], "/");
    EXPECT_EQ(root[3], "2");
    EXPECT_EQ(root.size(), 4u + 2 * static_cast<size_t>(std::stoi(root[2])));
    bool parent = false, self = false;
    for (size_t i = 4; i + 1 < root.size(); i += 2) {
        parent = parent || (root[i] == ".." && root[i + 1] == "16");
        self = self || root[i] == ".";
    }
    EXPECT_TRUE(parent);
    EXPECT_FALSE(self);

    EXPECT_EQ(Values("GetFilesList", {data + "/log", "*.log", "0", "1", "0", "0", "1"}),
              (Lines{"200", data + "/log/", "1", "3", "app1.log", "0", "    10"}));
}

// Positional words fill the parameters the agent reads, in the catalog's order; the catalog's
// defaults fill the rest.
TEST_F(FilesTest, QdxctlRunsEveryCommand) {
    struct Case {
        std::vector<std::string> words;
        std::string out;  // the whole output, or a part of it after "..."
        int exitCode;
    } cases[] = {
        {{"TEST-UNC", data + "/missing"}, "301\nNo such file or directory\n", 1},
        {{"TEST-FolderSize", data + "/backup/%newestfolder%", "1", "1"}, "200\nsize_bytes: 5\n",
         0},
        {{"TEST-FileExists", data + "/backup/%newestfolder%/d*", "1"},
         "...\nexamined_path: " + data + "/backup/run2/dump\nage_unit: min\n",
         0},
        {{"TEST-FileCompare", "1", data + "/a", data + "/b", "", "1", "1"}, "200\nmatch: 1\n", 0},
        {{"TEST-FileCRC", data + "/empty"}, "200\ncrc: 4294967295\n", 0},
        {{"TEST-CountFiles", data + "/backup/%newestfolder%", "*", "0", "0", "0", "1"},
         "200\ncount: 1\n",
         0},
        // One word is the folder; the default mask "*" fills the mask (an empty one matches
        // no name).
        {{"TEST-CountFiles", data + "/backup/run2"}, "200\ncount: 1\n", 0},
        {{"TEST-CountFiles", data + "/backup", "*", "1", "-1", "0"}, "501\nWrong parameter\n", 1},
        {{"GetFilesList", data + "/backup/run2", "", "0", "1", "0", "0", "0", "0", "0"},
         "200\nfolder: " + data +
             "/backup/run2/\ncount: 1\nfields: 2\nentries[1].name: dump\nentries[1].attributes: "
             "0\n",
         0},
        {{"GetFilesList", data + "/backup/run2", "", "0"},
         "...\nfields: 4\nentries[1].name: dump\nentries[1].attributes: 0\nentries[1].size_bytes: 5\n",
         0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-p", std::to_string(agent.port())};
        args.insert(args.end(), c.words.begin(), c.words.end());
        RunResult run = RunProgram(QDXCTL_BINARY, args, 20, {"QDX_PASSWORD=" + Agent::Password()});
        if (c.out.rfind("...", 0) == 0)
            EXPECT_NE(run.out.find(c.out.substr(3)), std::string::npos) << c.words[0] << run.out;
        else
            EXPECT_EQ(run.out, c.out) << c.words[0] << run.err;
        EXPECT_EQ(run.exitCode, c.exitCode) << c.words[0];
    }
}

TEST(FilesSwitches, TestsOffAnswer600) {
    TempDir dir;
    Agent agent{dir,
                "unc=0\nfoldersize=0\nfileexists=0\ncomparefiles=0\nfilecrc=0\ncountfiles=0\n"
                "textlog=0\n"};
    ASSERT_TRUE(agent.Start());
    for (const char* command :
         {"TEST-UNC", "TEST-FolderSize", "TEST-FileExists", "TEST-FileCompare", "TEST-FileCRC",
          "TEST-CountFiles", "GetFilesList"}) {
        QdxReplyText reply = agent.Call(command, {"/"});
        EXPECT_EQ(reply.text, "600\ntest is not allowed\n\r") << command;
    }
}

}  // namespace
