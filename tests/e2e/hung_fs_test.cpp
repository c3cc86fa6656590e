// A file system that stops answering costs the requests that reach it, and only a few threads:
// the real agent against a FUSE file system of the test's own that never answers one name, or
// nothing at all (as a dead NFS server), reached directly, through a link, through a bind mount
// and by the folder walks, file lists and macros of the folders above it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hanging_mount.h"
#include "harness.h"

namespace {

constexpr int kFsStall = 1000;
constexpr int kFsStuck = 4;
// The load: requests on the hung file system spread over kLoadSeconds, each given up by its
// client after fsstall and a second; GetInfo probes meanwhile, each given up after a second.
constexpr int kRequests = 60;
constexpr int kProbes = 20;
constexpr double kLoadSeconds = 6;

struct Request {
    std::string command;
    std::vector<std::string> params;
};

// The folders of one test: the mount two levels below a fixture folder, a link into it and a
// bind mount of it.
struct Layout {
    explicit Layout(const TempDir& dir)
        : tree(dir.File("tree")),
          parent(tree + "/a/b"),
          mount(parent + "/mnt"),
          link(dir.File("link")),
          bind(dir.File("bind")) {
        mkdir(tree.c_str(), 0755);
        mkdir((tree + "/a").c_str(), 0755);
        mkdir(parent.c_str(), 0755);
        mkdir(mount.c_str(), 0755);
        mkdir(bind.c_str(), 0755);
        WriteFile(tree + "/a/local.txt", "local\n");
        symlink(mount.c_str(), link.c_str());
    }
    std::string tree, parent, mount, link, bind;
};

// The requests on the hung file system; `name` is the file they ask for inside the mount.
std::vector<Request> RequestsOn(const Layout& at, const std::string& name) {
    const std::string file = at.mount + "/" + name;
    return {
        {"TEST-UNC", {file}},
        {"TEST-FileExists", {file}},
        {"TEST-FileCRC", {file}},
        {"TEST-FileCompare", {"1", file, at.mount + "/log.txt", "0", "1", "0"}},
        {"TEST-TextLog", {file, "ERROR", "", "", "", "0", "0", "0", "0"}},
        {"TEST-CountFiles", {at.mount, "*", "0", "3", "0"}},
        {"TEST-FolderSize", {at.tree, "1"}},
        {"GetFilesList", {at.parent, "*", "1", "1", "1", "1", "1", "1", "1"}},
        {"GetFilesList", {at.mount, "*", "1", "1", "1", "1", "1", "1", "1"}},
        {"TEST-FileExists", {at.parent + "/%newestfolder%/" + name, "", "", "", "", "", "1"}},
        {"TEST-FileExists", {at.link + "/" + name}},
        {"TEST-FileExists", {at.bind + "/" + name}},
    };
}

std::string InfoValue(const QdxReplyText& reply, const std::string& name) {
    for (const std::string& line : reply.Lines())
        if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
    return "";
}

int ActiveConnections(const QdxReplyText& info) {
    std::string value = InfoValue(info, "ActiveConnections");
    return value.empty() ? -1 : std::stoi(value);
}

QdxReplyText CallWithin(const Agent& agent, const Request& request, int milliseconds) {
    QdxEndpoint endpoint = agent.Endpoint();
    endpoint.timeoutMs = milliseconds;
    return QdxCall(endpoint, request.command, request.params);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// Runs the load against `agent` and checks what the issue promises: at most fsstuck requests
// stuck, every GetInfo answered within a second, every other request answered with its failure
// within fsstall and a second; then, once the file system answers again, every request served.
void CheckHungFileSystem(Agent& agent, HangingMount& hung, const std::vector<Request>& requests) {
    ASSERT_EQ(agent.Call("GetInfo").Code(), "200");
    const int idleThreads = ThreadCount(agent.pid());

    std::vector<std::string> codes(kRequests);
    std::vector<std::string> names(kRequests);
    std::vector<std::thread> load;
    const auto start = std::chrono::steady_clock::now();
    auto at = [&](double seconds) {
        return start + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    };
    for (int i = 0; i < kRequests; i++) {
        load.emplace_back([&, i] {
            std::this_thread::sleep_until(at(kLoadSeconds * i / kRequests));
            const Request& request = requests[static_cast<size_t>(i) % requests.size()];
            names[static_cast<size_t>(i)] = request.command + " " + request.params[0];
            QdxReplyText reply = CallWithin(agent, request, kFsStall + 1000);
            codes[static_cast<size_t>(i)] = reply.status == CallStatus::Ok
                                                ? request.command + " " + reply.Code()
                                                : std::string();
        });
    }
    long long slowestProbe = 0;
    int probesAnswered = 0, mostActive = 0, mostThreads = 0;
    for (int j = 0; j < kProbes; j++) {
        std::this_thread::sleep_until(at(kLoadSeconds * (j + 0.5) / kProbes));
        auto sent = std::chrono::steady_clock::now();
        QdxReplyText info = CallWithin(agent, {"GetInfo", {}}, 1000);
        long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - sent)
                             .count();
        if (info.Code() == "200") {
            probesAnswered++;
            slowestProbe = std::max(slowestProbe, took);
            mostActive = std::max(mostActive, ActiveConnections(info) - 1);
        }
        mostThreads = std::max(mostThreads, ThreadCount(agent.pid()));
    }
    for (std::thread& client : load) client.join();

    int unanswered = 0;
    std::vector<std::string> wrong;
    std::string unansweredNames;
    for (size_t i = 0; i < codes.size(); i++) {
        const std::string& code = codes[i];
        if (code.empty()) {
            unanswered++;
            unansweredNames += "\n  " + names[i];
        } else if (code.substr(code.size() - 3) != "301" && code != "GetFilesList 200")
            wrong.push_back(code);
    }
    // The stuck requests' threads stay; the others' end (parked threads after a few seconds).
    QdxReplyText after = agent.Call("GetInfo");
    const int stuckSessions = ActiveConnections(after) - 1;
    int threadsLeft = ThreadCount(agent.pid());
    WaitUntil([&] { return (threadsLeft = ThreadCount(agent.pid())) <= idleThreads + kFsStuck; },
              8);
    printf(
        "[ figures  ] %d of %d requests unanswered, %d GetInfo of %d answered within 1 s "
        "(slowest %lld ms), sessions at work at most %d, threads %d idle / %d most / %d "
        "after, stuck sessions after %d\n",
        unanswered, kRequests, probesAnswered, kProbes, slowestProbe, mostActive, idleThreads,
        mostThreads, threadsLeft, stuckSessions);

    EXPECT_EQ(probesAnswered, kProbes) << "slowest answered probe " << slowestProbe << " ms";
    EXPECT_LE(unanswered, kFsStuck) << "unanswered:" << unansweredNames;
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " answers other than the failure, first "
                               << (wrong.empty() ? "" : wrong[0]);
    EXPECT_LE(stuckSessions, kFsStuck);
    EXPECT_LE(threadsLeft, idleThreads + kFsStuck);
    EXPECT_EQ(Count(agent.Output(), " is not answering\n"), 1u)
        << "told once per file system and minute";

    // The file system answers again: the stuck requests end, and every request is served.
    hung.Release();
    EXPECT_TRUE(WaitUntil([&] { return ActiveConnections(agent.Call("GetInfo")) == 1; }, 10));
    for (const Request& request : requests) {
        QdxReplyText reply = CallWithin(agent, request, 10000);
        EXPECT_EQ(reply.Code(), "200")
            << request.command << " " << request.params[0] << ": " << reply.text;
    }
}

std::string AgentSettings() {
    return "maxsessions=16\nfsstall=" + std::to_string(kFsStall) +
           "\nfsstuck=" + std::to_string(kFsStuck) + "\nlogfails=0\n";
}

}  // namespace

// Here the file system is mounted while the agent runs, after it has read the mount table.
TEST(HungFileSystem, OneNameThatNeverAnswersCostsFewThreads) {
    TempDir dir;
    Layout at(dir);
    Agent agent(dir, AgentSettings());
    ASSERT_TRUE(agent.Start());
    ASSERT_EQ(agent.Call("TEST-FileExists", {at.tree + "/a/local.txt"}).Code(), "200");
    HangingMount hung(at.mount, "name");
    if (!hung.Ready()) GTEST_SKIP() << hung.Why();
    ASSERT_TRUE(hung.BindTo(at.bind));
    CheckHungFileSystem(agent, hung, RequestsOn(at, "hang"));
}

TEST(HungFileSystem, AFileSystemThatAnswersNothingCostsFewThreads) {
    TempDir dir;
    Layout at(dir);
    HangingMount hung(at.mount, "all");
    if (!hung.Ready()) GTEST_SKIP() << hung.Why();
    ASSERT_TRUE(hung.BindTo(at.bind));
    Agent agent(dir, AgentSettings());
    ASSERT_TRUE(agent.Start());
    CheckHungFileSystem(agent, hung, RequestsOn(at, "file.txt"));
}
