#include "hosts.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>

#include "output.h"

namespace {

constexpr size_t kMaxHostList = 64 * 1024 * 1024;
constexpr size_t kMaxHostLine = 1024;

volatile sig_atomic_t gInterrupted = 0;

void OnInterrupt(int) {
    gInterrupted = 1;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

bool ReadAll(int fd, std::string& text) {
    char block[65536];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0) {
        text.append(block, static_cast<size_t>(n));
        if (text.size() > kMaxHostList) return false;
    }
    return n == 0;
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

}  // namespace

bool ParseHostList(const std::string& text, int defaultPort, std::vector<HostLine>& hosts,
                   std::string& error) {
    std::map<std::string, int> seen;
    size_t start = 0;
    for (int number = 1; start < text.size(); number++) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        std::string where = "line " + std::to_string(number) + ": ";
        if (line.size() > kMaxHostLine) {
            error = where + "longer than " + std::to_string(kMaxHostLine) + " bytes";
            return false;
        }
        line = Trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        HostLine host;
        host.lineNumber = number;
        host.target.host = line;
        host.target.port = defaultPort;
        size_t colon = line.rfind(':');
        if (colon != std::string::npos) {
            std::string port = line.substr(colon + 1);
            host.target.host = Trimmed(line.substr(0, colon));
            char* stop = nullptr;
            long value = std::strtol(port.c_str(), &stop, 10);
            if (port.empty() || *stop != '\0' || value < 1 || value > 65535 ||
                port.find_first_not_of("0123456789") != std::string::npos) {
                error = where + "\"" + port + "\" is not a port (1 to 65535)";
                return false;
            }
            host.target.port = static_cast<int>(value);
        }
        if (host.target.host.empty() ||
            host.target.host.find_first_of(" \t:") != std::string::npos) {
            error = where + "\"" + line + "\" is not host[:port]";
            return false;
        }
        if (host.target.port <= 0) {
            error = where + host.target.host + " has no port (give host:port, -p or QDX_PORT)";
            return false;
        }
        std::string key = host.target.host + ":" + std::to_string(host.target.port);
        auto [it, fresh] = seen.emplace(key, number);
        if (!fresh) host.duplicateOf = it->second;
        hosts.push_back(host);
    }
    return true;
}

std::vector<HostLine> LoadHostList(const Options& options) {
    std::string text;
    bool read = false;
    if (options.hostsFile == "-") {
        read = ReadAll(STDIN_FILENO, text);
    } else {
        int fd = open(options.hostsFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        read = fd >= 0 && ReadAll(fd, text);
        if (fd >= 0) close(fd);
    }
    if (!read) Usage(("cannot read the hosts list " + options.hostsFile).c_str());
    std::vector<HostLine> hosts;
    std::string error;
    if (!ParseHostList(text, options.endpoint.port, hosts, error))
        Usage((options.hostsFile + ": " + error).c_str());
    return hosts;
}

int RunHosts(const Options& options, const Request& request, const CheckOptions* check) {
    std::vector<HostLine> hosts = LoadHostList(options);
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
    std::map<std::string, int> tally;
    int worst = 0;
    size_t printed = 0;  // hosts (file order) printed so far
    auto label = [&](const HostLine& host) {
        return host.target.host + ":" + std::to_string(host.target.port);
    };
    auto printReady = [&] {
        for (; printed < hosts.size(); printed++) {
            const HostLine& host = hosts[printed];
            if (host.duplicateOf != 0) {
                tally["skipped (duplicate)"]++;
                std::string skipped = "duplicate of line " + std::to_string(host.duplicateOf);
                if (options.output == OutputForm::Json)
                    std::printf("%s\n", nlohmann::ordered_json({{"host", host.target.host},
                                                                {"port", host.target.port},
                                                                {"command", request.command},
                                                                {"skipped", skipped}})
                                            .dump()
                                            .c_str());
                else
                    std::printf("%s skipped: %s\n", label(host).c_str(), skipped.c_str());
                continue;
            }
            std::optional<Outcome>& outcome = outcomes[targetOf[printed]];
            if (!outcome) return;
            std::printf("%s\n", outcome->line.c_str());
            outcome->line.clear();
            outcome->line.shrink_to_fit();
        }
    };
    auto done = [&](size_t index, QdxReplyText reply) {
        const HostLine& host = hosts[hostOf[index]];
        QdxEndpoint endpoint = options.endpoint;
        endpoint.host = host.target.host;
        endpoint.port = host.target.port;
        Outcome outcome;
        if (reply.reason == NoReplyReason::Interrupted) {
            outcome.status = kExitInterrupted;
            outcome.line = label(host) + " interrupted";
            tally["interrupted"]++;
        } else if (check != nullptr) {
            CheckResult result = EvaluateCheck(request, *check, endpoint, reply);
            outcome.status = result.state;
            outcome.line = label(host) + " " + result.line;
            tally[StateWord(result.state)]++;
        } else if (options.output == OutputForm::Json) {
            outcome.status = ExitFor(reply);
            outcome.line = ReplyJson(request, endpoint.host, endpoint.port, reply)
                               .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        } else {
            outcome.status = ExitFor(reply);
            outcome.line = label(host) + " " + ReplyLine(request, reply);
        }
        if (check == nullptr && reply.reason != NoReplyReason::Interrupted)
            tally[reply.status != CallStatus::Ok ? std::string("no reply (") +
                                                       NoReplyWord(reply.reason) + ")"
                                                 : "result " + reply.Code()]++;
        if (outcome.status != kExitInterrupted) worst = std::max(worst, outcome.status);
        outcomes[index] = std::move(outcome);
        printReady();
    };

    auto start = std::chrono::steady_clock::now();
    MultiCallOptions multi;
    multi.password = options.endpoint.password;
    // One descriptor per open connection: stay well inside the process's limit.
    rlimit files{};
    multi.parallel = options.parallel;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        multi.parallel = static_cast<int>(
            std::min<rlim_t>(static_cast<rlim_t>(options.parallel),
                             files.rlim_cur > 64 ? files.rlim_cur - 32 : 32));
    multi.timeoutMs = options.endpoint.timeoutMs;
    // Hosts finished out of order wait for their turn to be printed; start no more than this many
    // beyond the first unprinted one, so that what waits stays bounded.
    size_t window = static_cast<size_t>(options.parallel) * 16 + 256;
    multi.mayStart = [&](size_t index) {
        size_t cursor = printed < hosts.size() && targetOf[printed] != SIZE_MAX
                            ? targetOf[printed]
                            : index;
        return index < cursor + window;
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
            std::printf("%s\n", outcomes[i]->line.c_str());
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
