#include "handlers/path_param.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_fixture.h"
#include "file_fixture.h"
#include "handlers/actions.h"
#include "handlers/file_list.h"
#include "handlers/file_tests.h"
#include "handlers/process_tests.h"
#include "handlers/textlog_tests.h"

namespace {

using filetest::S;
using filetest::Str;
using Handler = void (*)(const ZPRequest&, QDXReply&);

ZPRequest Request(const std::vector<std::string>& params) {
    std::string text;
    for (const std::string& p : params) text += p + "\n";
    ZPRequest request;
    request = S(text + "\r");
    return request;
}

std::string Call(Handler handler, const std::vector<std::string>& params) {
    QDXReply reply;
    handler(Request(params), reply);
    return Str(reply.Text());
}

TEST(PathParam, TrimmedTextUpToTheFirstNul) {
    struct Case {
        std::string line, path;
    } cases[] = {
        {"/etc/hosts", "/etc/hosts"},
        {"  /etc/hosts \t", "/etc/hosts"},
        {std::string("/etc/hosts\0junk", 15), "/etc/hosts"},
        {std::string(" /etc/hosts \0junk ", 18), "/etc/hosts "},
        // The trim comes first, and takes a leading NUL for a blank.
        {std::string("\0junk", 5), "junk"},
        {std::string("/a\0", 3), "/a"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Str(GetPathParam(Request({"x", c.line}), 2)), c.path) << c.line.size();
}

// Every handler that reads a path checks and echoes the same name: what precedes the NUL.
TEST(PathParam, HandlersReadPathsUpToTheirFirstNul) {
    configtest::SettingsGuard guard;
    TQDXSettings settings = *CurrentSettings();
    settings.unc = settings.foldersize = settings.fileexists = settings.comparefiles =
        settings.filecrc = settings.countfiles = settings.textlog = 1;
    settings.external = settings.executeaction = 1;
    PublishSettings(settings);
    filetest::TempDir dir;
    const std::string log = dir.File("app.log", "one\nERROR two\n");
    const std::string other = dir.File("other", "ERROR");
    dir.File("marker");
    const std::string junk("\0junk", 5);
    struct Case {
        const char* name;
        Handler handler;
        std::vector<std::string> params;
        std::vector<int> paths;  // positions (1-based) of the path parameters
    } cases[] = {
        {"TEST-UNC", ProcessTest_UNC, {"/proc"}, {1}},
        {"TEST-FolderSize", ProcessTest_FolderSize, {dir.path(), "1"}, {1}},
        {"TEST-FileExists", ProcessTest_FileExists, {log}, {1}},
        {"TEST-FileCompare 1", ProcessTest_FileCompare, {"1", log, other, "0", "1", "1"}, {2, 3}},
        {"TEST-FileCompare 2", ProcessTest_FileCompare, {"2", log, other}, {2, 3}},
        {"TEST-FileCRC", ProcessTest_FileCRC, {log}, {1}},
        {"TEST-CountFiles", ProcessTest_CountFiles, {dir.path(), "*.log", "0", "0", "0"}, {1, 2}},
        {"GetFilesList", ProcessInfo_GetFileList, {dir.path(), "*", "1", "1"}, {1, 2}},
        {"TEST-TextLog", ProcessTest_TextLog, {log, "ERROR", "0", "0", "0"}, {1}},
        {"TEST-TextLog2",
         ProcessTest_TextLog2,
         {log, "0", "0", "0", "0", "ERROR", "0", "0", "0", "0"},
         {1}},
        {"TEST-ExternalPrg",
         ProcessTest_External,
         {"test -f marker", dir.path(), "0", "5000"},
         {1, 2}},
        {"ACT-ExternalCmd",
         ProcessAct_ExternalCmd,
         {"test -f marker", dir.path(), "0", "5000"},
         {1, 2}},
    };
    for (const Case& c : cases) {
        const std::string plain = Call(c.handler, c.params);
        EXPECT_EQ(plain.substr(0, 4), "200\n") << c.name << ": " << plain;
        std::vector<std::string> withNul = c.params;
        for (int index : c.paths) withNul[static_cast<size_t>(index - 1)] += junk;
        const std::string reply = Call(c.handler, withNul);
        EXPECT_EQ(reply, plain) << c.name;
        EXPECT_EQ(reply.find("junk"), std::string::npos) << c.name;
    }
}

}  // namespace
