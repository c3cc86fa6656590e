// "upgrade FILE" with --hosts: a few agents at a time, stopping after the first failures, as
// rollout tools do.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "hosts.h"
#include "output.h"
#include "terminal_text.h"
#include "upgrade.h"

namespace {

volatile sig_atomic_t gStopUpgrades = 0;

void OnInterrupt(int) {
    gStopUpgrades = 1;
}

const char* EndWord(UpgradeEnd end) {
    switch (end) {
        case UpgradeEnd::Upgraded: return "upgraded";
        case UpgradeEnd::NotVerified: return "not_verified";
        case UpgradeEnd::RolledBack: return "rolled_back";
        case UpgradeEnd::Refused: return "failed";
        case UpgradeEnd::NoReply: return "no_reply";
    }
    return "";
}

std::string Names(const std::vector<std::string>& hosts) {
    std::string text;
    for (const std::string& host : hosts) text += (text.empty() ? "" : " ") + host;
    return text;
}

}  // namespace

int UpgradeHosts(const Options& options, const UpgradeFile& file) {
    std::vector<HostLine> hosts = LoadHostList(options);
    Request request;
    request.command = "UpgradeCode";
    request.spec = FindCommandSpec(request.command);
    bool json = options.output == OutputForm::Json;

    std::mutex mutex;  // output and the lists below
    std::vector<std::string> upgraded, notVerified, failed, notAttempted;
    std::atomic<size_t> next{0};
    std::atomic<int> failures{0};
    std::vector<char> attempted(hosts.size(), 0);
    auto say = [&](const HostLine& host, const std::string& event, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (json)
            std::printf("%s\n", JsonText({{"host", host.target.host},
                                          {"port", host.target.port},
                                          {"command", "upgrade"},
                                          {"event", event},
                                          {"text", text}})
                                    .c_str());
        else
            std::printf("%s %s\n", HostLabel(host).c_str(), TerminalText(text).c_str());
        std::fflush(stdout);
    };
    auto worker = [&] {
        for (;;) {
            if (gStopUpgrades || failures.load() >= options.upgrade.maxFailures) return;
            size_t i = next.fetch_add(1);
            if (i >= hosts.size()) return;
            if (gStopUpgrades || failures.load() >= options.upgrade.maxFailures) return;
            const HostLine& host = hosts[i];
            attempted[i] = 1;
            if (host.duplicateOf != 0) {
                say(host, "skipped", "skipped: duplicate of line " +
                                         std::to_string(host.duplicateOf));
                continue;
            }
            QdxEndpoint endpoint = HostEndpoint(options, host);
            UpgradeEnd end = RunUpgrade(
                options, endpoint, file,
                [&](const QdxReplyText& reply) {
                    say(host, "reply", ReplyLine(request, reply));
                    return ExitFor(reply);
                },
                [&](const std::string& text) { say(host, "progress", text); });
            say(host, EndWord(end), EndWord(end));
            std::lock_guard<std::mutex> lock(mutex);
            if (end == UpgradeEnd::Upgraded)
                upgraded.push_back(HostLabel(host));
            else if (end == UpgradeEnd::NotVerified)
                notVerified.push_back(HostLabel(host));
            else {
                failed.push_back(HostLabel(host));
                failures++;
            }
        }
    };
    struct sigaction action {}, previous {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;  // transfers under way finish; no new one starts
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    size_t count = std::min(hosts.size(), static_cast<size_t>(std::max(1, options.parallel)));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < count; t++) threads.emplace_back(worker);
    for (std::thread& t : threads) t.join();
    sigaction(SIGINT, &previous, nullptr);

    for (size_t i = 0; i < hosts.size(); i++)
        if (hosts[i].duplicateOf == 0 && !attempted[i]) notAttempted.push_back(HostLabel(hosts[i]));
    std::string stopped = gStopUpgrades ? "interrupted; "
                          : !notAttempted.empty()
                              ? "stopped after " + std::to_string(failures.load()) +
                                    " failure" + (failures.load() == 1 ? "" : "s") +
                                    " (--max-failures " +
                                    std::to_string(options.upgrade.maxFailures) + "); "
                              : "";
    std::fprintf(stderr, "%s%zu hosts: %zu upgraded, %zu not verified, %zu failed, %zu not attempted\n",
                 stopped.c_str(), hosts.size(), upgraded.size(), notVerified.size(),
                 failed.size(), notAttempted.size());
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"upgraded", &upgraded}, {"not verified", &notVerified}, {"failed", &failed},
        {"not attempted", &notAttempted}};
    for (const auto& [what, list] : lists)
        if (!list->empty()) std::fprintf(stderr, "%s: %s\n", what, Names(*list).c_str());
    if (gStopUpgrades) return kExitInterrupted;
    return failed.empty() && notAttempted.empty() && notVerified.empty() ? kExitOk : kExitNotOk;
}
