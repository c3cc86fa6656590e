// The installed log rotation snippet, run by logrotate while requests arrive: every log line ends
// up whole in exactly one of the rotated and current files, and none is lost.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "harness.h"

namespace {

// The snippet as installed, with its log folder moved to `logs`.
std::string SnippetFor(const std::string& logs) {
    std::string text = ReadFile(QDX_LOGROTATE_SNIPPET);
    const std::string installed = QDX_INSTALLED_LOGDIR;
    for (size_t at = text.find(installed); at != std::string::npos;
         at = text.find(installed, at + logs.size()))
        text.replace(at, installed.size(), logs);
    return text;
}

// Every line of the log `name` in `folder`, current and rotated (compressed ones unpacked), by file.
std::map<std::string, std::vector<std::string>> LogLines(const std::string& folder,
                                                         const std::string& name) {
    std::map<std::string, std::vector<std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string file = entry.path().filename().string();
        if (file.compare(0, name.size(), name) != 0) continue;
        std::string text = ReadFile(entry.path().string());
        if (file.size() > 3 && file.compare(file.size() - 3, 3, ".gz") == 0) {
            std::string unpacked = folder + ".unpacked";
            RunProgram("/bin/sh", {"-c", "gzip -dc \"$0\" > \"$1\"", entry.path().string(), unpacked});
            text = ReadFile(unpacked);
        }
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) files[file].push_back(line);
        if (!text.empty() && text.back() != '\n') files[file].push_back("(no line end)");
    }
    return files;
}

// A whole log line: "[MM/DD/YYYY hh:mm:ss]\t <peer or qdx>\t <message>", as one write made it.
bool WholeLine(const std::string& line) {
    const std::string stamp = "[00/00/0000 00:00:00]\t ";
    if (line.size() <= stamp.size()) return false;
    for (size_t i = 0; i < stamp.size(); i++) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (stamp[i] == '0' ? !digit : line[i] != stamp[i]) return false;
    }
    std::string rest = line.substr(stamp.size());
    for (const char* peer : {"qdx\t\t ", "127.0.0.1\t "})
        if (rest.compare(0, std::strlen(peer), peer) == 0) return rest.size() > std::strlen(peer);
    return false;
}

}  // namespace

TEST(LogRotation, EveryLineWholeInExactlyOneFile) {
    TempDir dir;
    std::string logs = dir.File("logs");
    ASSERT_EQ(mkdir(logs.c_str(), 0750), 0);
    Agent agent(dir, "logsuccess=1\nlogfails=1\noklogfile=" + logs + "/success.log\nbadlogfile=" +
                         logs + "/failure.log\nverboselogfile=" + logs + "/verbose.log\n");
    ASSERT_TRUE(agent.Start({"-v"}));
    std::string conf = dir.File("logrotate.conf");
    WriteFile(conf, SnippetFor(logs));
    chmod(conf.c_str(), 0644);

    // Two clients ask GetInfo (success log), two send an unknown command (failure log), until
    // the logs have been rotated three times under them.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, unknown{0}, failed{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; c++) {
        clients.emplace_back([&, c] {
            while (!stop.load()) {
                QdxReplyText reply = agent.Call(c % 2 ? "NoSuchCommand" : "GetInfo");
                if (reply.status != CallStatus::Ok) {
                    failed++;
                } else {
                    (c % 2 ? unknown : answered)++;
                }
            }
        });
    }
    int rotations = 0;
    for (; rotations < 3; rotations++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        RunResult rotate = RunProgram(QDX_LOGROTATE, {"-f", "-s", dir.File("state"), conf});
        EXPECT_EQ(rotate.exitCode, 0) << rotate.out << rotate.err;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (std::thread& t : clients) t.join();
    agent.Kill();
    ASSERT_EQ(failed.load(), 0);
    ASSERT_GT(answered.load(), 0);
    ASSERT_GT(unknown.load(), 0);

    const std::string accepted = "\t TCP connection accepted";
    const std::string refused = "\t Unknown command \"NoSuchCommand\"";
    struct Expectation {
        const char* log;
        int accepted;
        int unknown;
    };
    int requests = answered + unknown;
    for (const Expectation& expected : {Expectation{"success.log", requests, 0},
                                        Expectation{"failure.log", 0, unknown.load()},
                                        Expectation{"verbose.log", requests, unknown.load()}}) {
        auto files = LogLines(logs, expected.log);
        EXPECT_GE(files.size(), 4u) << expected.log << ": the current file and three rotated ones";
        int acceptedLines = 0, unknownLines = 0;
        for (const auto& [file, lines] : files) {
            EXPECT_FALSE(lines.empty()) << file;
            for (const std::string& line : lines) {
                EXPECT_TRUE(WholeLine(line)) << file << ": " << line;
                if (line.find(accepted) != std::string::npos) acceptedLines++;
                if (line.find(refused) != std::string::npos) unknownLines++;
            }
        }
        EXPECT_EQ(acceptedLines, expected.accepted) << expected.log;
        EXPECT_EQ(unknownLines, expected.unknown) << expected.log;
    }
}
