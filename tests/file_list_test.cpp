#include "handlers/file_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "config_fixture.h"
#include "file_fixture.h"

namespace {

using filetest::S;
using filetest::Str;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The entries of a reply as "name:field,field..." strings, subfolders and files each sorted, with
// the header lines checked on the way.
struct Listing {
    std::string folder;
    int count = -1;
    int fields = -1;
    std::vector<std::string> entries;  // in reply order
};

Listing Parse(const std::string& reply) {
    Listing listing;
    std::vector<std::string> lines = Lines(reply);
    EXPECT_GE(lines.size(), 4u) << reply;
    if (lines.size() < 4) return listing;
    EXPECT_EQ(lines[0], "200");
    listing.folder = lines[1];
    listing.count = std::stoi(lines[2]);
    listing.fields = std::stoi(lines[3]);
    EXPECT_EQ(lines.size(), 4u + static_cast<size_t>(listing.count * listing.fields)) << reply;
    for (size_t i = 4; i + listing.fields <= lines.size(); i += listing.fields) {
        std::string entry = lines[i] + ":";
        for (int f = 1; f < listing.fields; f++) entry += (f > 1 ? "," : "") + lines[i + f];
        listing.entries.push_back(entry);
    }
    return listing;
}

class FileList : public ::testing::Test {
protected:
    void SetUp() override {
        TQDXSettings settings = *CurrentSettings();
        settings.foldersize = 1;
        PublishSettings(settings);
        dir.Dir("f");
        dir.Dir("f/sub", 2000);
        dir.Dir("f/.hsub", 2000);
        dir.File("f/a.log", "12345", 1000);
        dir.File("f/b.txt", "", 1000);
        dir.File("f/.h.log", "", 1000);
        dir.Link("f/link.log", dir / "f/a.log");
        dir.File("f/bad\nname.log", "", 1000);  // would forge lines of the reply
        dir.File("f/bad\rname.log", "", 1000);
        ASSERT_EQ(mkfifo((dir / "f/pipe.log").c_str(), 0644), 0);
        dir.SetTime(dir / "f/pipe.log", 1000);
        dir.SetTime(dir / "f", 3000);
    }
    std::string Call(const std::vector<std::string>& params) {
        std::string text;
        for (const std::string& p : params) text += p + "\n";
        text += "\r";
        ZPRequest request;
        request = S(text);
        QDXReply reply;
        reply.InitPacket(nullptr, String());
        ProcessInfo_GetFileList(request, reply);
        return Str(reply.Text());
    }
    configtest::SettingsGuard guard;
    filetest::TempDir dir;
};

TEST_F(FileList, SubfoldersThenFilesWithTheAskedFields) {
    const std::string f = dir / "f";
    Listing all = Parse(Call({f, "*.log", "1", "1", "1", "1", "1", "0", "1"}));
    EXPECT_EQ(all.folder, f + "/");
    EXPECT_EQ(all.fields, 4);
    ASSERT_EQ(all.count, 6);
    // Subfolders first: ".." included, "." not; the mask applies to files only.
    std::vector<std::string> folders(all.entries.begin(), all.entries.begin() + 3);
    std::vector<std::string> files(all.entries.begin() + 3, all.entries.end());
    std::sort(folders.begin(), folders.end());
    const std::string t1000 = filetest::LocalStamp(1000), t2000 = filetest::LocalStamp(2000);
    EXPECT_EQ(folders[0].substr(0, 6), "..:16,");  // the parent's size and time vary
    auto size = [&](const std::string& name) {
        struct stat st;
        EXPECT_EQ(lstat((f + "/" + name).c_str(), &st), 0);
        char text[40];
        std::snprintf(text, sizeof text, "%6.0f", static_cast<double>(st.st_size));
        return std::string(text);
    };
    EXPECT_EQ(folders[1], ".hsub:18," + size(".hsub") + "," + t2000);
    EXPECT_EQ(folders[2], "sub:16," + size("sub") + "," + t2000);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files,
              (std::vector<std::string>{".h.log:2,     0," + t1000, "a.log:0,     5," + t1000,
                                        "pipe.log:4,     0," + t1000}));

    // No hidden, no system entries; name and attributes only.
    Listing plain = Parse(Call({f, "", "1", "1", "0", "0"}));
    EXPECT_EQ(plain.fields, 2);
    ASSERT_EQ(plain.count, 4);
    std::sort(plain.entries.begin(), plain.entries.begin() + 2);
    std::sort(plain.entries.begin() + 2, plain.entries.end());
    EXPECT_EQ(plain.entries, (std::vector<std::string>{"..:16", "sub:16", "a.log:0", "b.txt:0"}));
}

TEST_F(FileList, FieldCountFollowsTheFlags) {
    const std::string f = dir / "f";
    struct Case {
        std::vector<std::string> params;
        int fields;
    } cases[] = {
        {{f, "a.log", "0", "1"}, 2},
        {{f, "a.log", "0", "1", "0", "0", "0", "0", "1"}, 3},
        {{f, "a.log", "0", "1", "0", "0", "1", "1", "1"}, 5},
        {{f, "a.log", "0", "1", "0", "0", "1", "true", "01"}, 3},  // only "1" is true
    };
    for (const Case& c : cases) {
        Listing listing = Parse(Call(c.params));
        EXPECT_EQ(listing.fields, c.fields);
        EXPECT_EQ(listing.count, 1);
    }
    std::string three = Call({f, "a.log", "0", "1", "0", "0", "0", "0", "1"});
    EXPECT_EQ(three.substr(three.find("a.log")), "a.log\n0\n" + Lines(three).back() + "\n");
}

TEST_F(FileList, FolderResolution) {
    // A file names the folder that holds it; the mask stays.
    Listing byFile = Parse(Call({dir / "f/a.log", "b*", "0", "1"}));
    EXPECT_EQ(byFile.folder, dir / "f/");
    EXPECT_EQ(byFile.entries, (std::vector<std::string>{"b.txt:0"}));
    // Nothing that can be searched: still "200", with no entries.
    Listing missing = Parse(Call({dir / "missing/", "*", "1", "1"}));
    EXPECT_EQ(missing.folder, dir / "missing/");
    EXPECT_EQ(missing.count, 0);
    // A name without '/' that is no folder stands for the root, as does an empty folder.
    for (const std::string& folder : {std::string("no-such-name"), std::string()}) {
        Listing root = Parse(Call({folder, "", "1", "0"}));
        EXPECT_EQ(root.folder, "/");
        EXPECT_NE(std::find(root.entries.begin(), root.entries.end(), "..:16"), root.entries.end());
        EXPECT_EQ(std::find(root.entries.begin(), root.entries.end(), ".:16"), root.entries.end());
    }
}

TEST_F(FileList, AllowedWhenAnyFileTestIs) {
    TQDXSettings settings = *CurrentSettings();
    settings.foldersize = settings.countfiles = settings.fileexists = settings.filecrc =
        settings.comparefiles = settings.textlog = 0;
    PublishSettings(settings);
    EXPECT_EQ(Call({dir / "f", "*", "1", "1"}), "600\ntest is not allowed");
    settings.textlog = 1;
    PublishSettings(settings);
    EXPECT_EQ(Call({dir / "f", "*", "1", "1"}).substr(0, 4), "200\n");
}

TEST_F(FileList, ListingStopsAtItsSizeLimit) {
    TFileListQuery query;
    query.folder = S(dir / "f");
    query.mask = "*.txt";
    query.files = true;
    QDXReply reply;
    ListFolder(query, reply, 8);  // "b.txt\n0\n" takes 8 bytes
    EXPECT_EQ(Str(reply.Text()), "200\n" + dir / "f/" + "\n1\n2\nb.txt\n0\n");
    ListFolder(query, reply, 7);
    EXPECT_EQ(Str(reply.Text()), "200\n" + dir / "f/" + "\n0\n2\n");

    // A subfolder that does not fit ends the list: no file after it, though one would fit.
    dir.Dir("g");
    dir.File("g/b");
    query.folder = S(dir / "g");
    query.mask = "*";
    query.subfolders = true;
    ListFolder(query, reply, 5);  // "..\n16\n" takes 6 bytes, "b\n0\n" 4
    EXPECT_EQ(Str(reply.Text()), "200\n" + dir / "g/" + "\n0\n2\n");
}

}  // namespace
