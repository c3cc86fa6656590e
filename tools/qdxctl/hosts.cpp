#include "hosts.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>

#include "client/settings_change.h"
#include "input_file.h"
#include "output.h"
#include "terminal_text.h"

namespace {

// Descriptors kept free beside the connections: the standard streams, the resolver's sockets,
// files a check opens.
constexpr int kDescriptorReserve = 16;

volatile sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) {
    gInterrupted = 1;
}

// SIGINT sets a flag and is taken only while the caller waits: blocked otherwise.
class InterruptGuard {
public:
    InterruptGuard() {
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigprocmask(SIG_BLOCK, &block, &waitMask_);
        sigdelset(&waitMask_, SIGINT);
    }
    ~InterruptGuard() {
        sigset_t unblock;
        sigemptyset(&unblock);
        sigaddset(&unblock, SIGINT);
        sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
        sigaction(SIGINT, &previous_, nullptr);
    }
    const sigset_t* WaitMask() const { return &waitMask_; }

private:
    struct sigaction previous_ {};
    sigset_t waitMask_{};
};

struct Outcome {
    int status = 0;
    std::string line;
};

// What every call of a hosts list shares: the password, the time-out, and the TLS context that
// checks each host's certificate against that host's own name.
MultiCallOptions CallOptions(const Options& options, const std::string& password) {
    MultiCallOptions multi;
    multi.password = password;
    multi.parallel = HostsParallel(options);
    multi.timeoutMs = options.endpoint.timeoutMs;
    multi.memoryBudget = options.memoryBudget;
    multi.tls = options.endpoint.tls;
    return multi;
}

}  // namespace

std::vector<HostLine> LoadHostList(const Options& options) {
    std::string text, error;
    if (!ReadInputFile(options.hostsFile, kMaxHostsFile, true, text, error))
        Fail("--hosts: " + error);
    std::vector<HostLine> hosts;
    if (!ParseHostList(text, options.endpoint.port, hosts, error))
        Fail(options.hostsFile + ": " + error);
    return hosts;
}

std::string HostLabel(const HostLine& host) {
    return host.target.host + ":" + std::to_string(host.target.port);
}

QdxEndpoint HostEndpoint(const Options& options, const HostLine& host) {
    QdxEndpoint endpoint = options.endpoint;
    endpoint.host = host.target.host;
    endpoint.port = host.target.port;
    return endpoint;
}

int HostsParallel(const Options& options) {
    return std::min(options.parallel, DescriptorRoom(kDescriptorReserve));
}

std::vector<QdxReplyText> CallHosts(const Options& options, const std::vector<HostLine>& hosts,
                                    const std::string& command,
                                    const std::vector<std::string>& lines,
                                    const std::string& password, int port,
                                    const std::vector<bool>& asked) {
    std::vector<CallTarget> targets;
    std::vector<size_t> hostOf;
    for (size_t i = 0; i < hosts.size(); i++) {
        if (hosts[i].duplicateOf != 0 || (!asked.empty() && !asked[i])) continue;
        CallTarget target = hosts[i].target;
        if (port != 0) target.port = port;
        targets.push_back(target);
        hostOf.push_back(i);
    }
    std::vector<QdxReplyText> replies(hosts.size());
    MultiCallOptions multi = CallOptions(options, password);
    RunMultiCall(targets, BuildRequestText(command, lines), multi,
                 [&](size_t index, QdxReplyText reply) { replies[hostOf[index]] = std::move(reply); });
    return replies;
}

int RunHosts(const Options& options, const Request& request, const CheckOptions* check) {
    std::vector<HostLine> hosts = LoadHostList(options);
    bool json = options.output == OutputForm::Json;
    // Duplicates are not asked again; the rest go to the engine in file order.
    std::vector<CallTarget> targets;
    std::vector<size_t> targetOf(hosts.size(), SIZE_MAX);
    std::vector<size_t> hostOf;
    for (size_t i = 0; i < hosts.size(); i++) {
        if (hosts[i].duplicateOf != 0) continue;
        targetOf[i] = targets.size();
        hostOf.push_back(i);
        targets.push_back(hosts[i].target);
    }

    std::vector<std::optional<Outcome>> outcomes(targets.size());
    long long held = 0;  // bytes of finished lines waiting for their turn
    std::map<std::string, int> tally;
    int worst = 0;
    size_t printed = 0;  // hosts (file order) printed so far
    auto printReady = [&] {
        for (; printed < hosts.size(); printed++) {
            const HostLine& host = hosts[printed];
            if (host.duplicateOf != 0) {
                tally["skipped (duplicate)"]++;
                std::string skipped = "duplicate of line " + std::to_string(host.duplicateOf);
                if (json)
                    std::printf("%s\n", JsonText({{"host", host.target.host},
                                                  {"port", host.target.port},
                                                  {"command", request.command},
                                                  {"skipped", skipped}})
                                            .c_str());
                else
                    std::printf("%s skipped: %s\n", HostLabel(host).c_str(), skipped.c_str());
                continue;
            }
            std::optional<Outcome>& outcome = outcomes[targetOf[printed]];
            if (!outcome) return;
            std::fwrite(outcome->line.data(), 1, outcome->line.size(), stdout);
            held -= static_cast<long long>(outcome->line.size());
            outcome->line.clear();
            outcome->line.shrink_to_fit();
        }
    };
    auto done = [&](size_t index, QdxReplyText reply) {
        const HostLine& host = hosts[hostOf[index]];
        QdxEndpoint endpoint = HostEndpoint(options, host);
        if (request.command == "GetSettings" && !options.showPassword) MaskPassword(reply);
        Outcome outcome;
        if (reply.reason == NoReplyReason::Interrupted) {
            outcome.status = kExitInterrupted;
            outcome.line = json ? JsonText({{"host", endpoint.host},
                                            {"port", endpoint.port},
                                            {"command", request.command},
                                            {"interrupted", true}}) +
                                      "\n"
                                : HostLabel(host) + " interrupted\n";
            tally["interrupted"]++;
        } else if (check != nullptr) {
            CheckResult result = EvaluateCheck(request, *check, endpoint, reply);
            outcome.status = result.state;
            if (json) {
                outcome.line = JsonText(CheckJson(result, request, endpoint)) + "\n";
            } else {
                for (const std::string& line : result.output)
                    outcome.line += (outcome.line.empty() ? HostLabel(host) + " " : "") +
                                    TerminalText(line) + "\n";
            }
            tally[StateWord(result.state)]++;
        } else if (json) {
            outcome.status = ExitFor(reply);
            char* buffer = nullptr;
            size_t size = 0;
            std::FILE* memory = open_memstream(&buffer, &size);
            if (memory != nullptr) {
                WriteReplyJson(memory, request, endpoint.host, endpoint.port, reply);
                std::fclose(memory);
                outcome.line.assign(buffer, size);
            }
            std::free(buffer);
        } else {
            outcome.status = ExitFor(reply);
            outcome.line = HostLabel(host) + " " + ReplyLine(request, reply) + "\n";
        }
        if (check == nullptr && reply.reason != NoReplyReason::Interrupted)
            tally[reply.status != CallStatus::Ok ? std::string("no reply (") +
                                                       NoReplyWord(reply.reason) + ")"
                                                 : "result " + reply.Code()]++;
        if (outcome.status != kExitInterrupted) worst = std::max(worst, outcome.status);
        held += static_cast<long long>(outcome.line.size());
        outcomes[index] = std::move(outcome);
        printReady();
    };

    auto start = std::chrono::steady_clock::now();
    MultiCallOptions multi = CallOptions(options, options.endpoint.password);
    multi.heldByCaller = [&] { return held; };
    // Hosts finished out of order wait for their turn to be printed; start no more than this many
    // beyond the first unprinted one, and none while their lines fill the memory budget, so that
    // what waits stays bounded.
    size_t window = static_cast<size_t>(multi.parallel) * 16 + 256;
    multi.mayStart = [&](size_t index) {
        size_t cursor = printed < hosts.size() && targetOf[printed] != SIZE_MAX
                            ? targetOf[printed]
                            : index;
        return index <= cursor || (index < cursor + window && held < options.memoryBudget);
    };
    gInterrupted = 0;
    InterruptGuard guard;
    multi.stop = &gInterrupted;
    multi.waitMask = guard.WaitMask();
    RunMultiCall(targets, BuildRequestText(request.command, request.lines), multi, done);
    printReady();
    // After Ctrl-C: whatever finished beyond the first unfinished host is printed as well.
    size_t answered = 0;
    for (size_t i = 0; i < outcomes.size(); i++) {
        if (!outcomes[i]) continue;
        answered++;
        if (!outcomes[i]->line.empty() && hostOf[i] >= printed)
            std::fwrite(outcomes[i]->line.data(), 1, outcomes[i]->line.size(), stdout);
    }
    std::fflush(stdout);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string summary;
    for (const auto& [what, count] : tally) summary += ", " + std::to_string(count) + " " + what;
    std::fprintf(stderr, "%s%zu hosts in %.2f s%s; exit status %d\n",
                 gInterrupted ? "interrupted: " : "", hosts.size(), seconds, summary.c_str(),
                 gInterrupted ? kExitInterrupted : worst);
    if (gInterrupted) {
        std::fprintf(stderr, "%zu of %zu hosts not asked\n", targets.size() - answered,
                     targets.size());
        return kExitInterrupted;
    }
    return worst;
}
