// qdxctl: the administrator's client for the qdx agent.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "check.h"
#include "client/client.h"
#include "config_file.h"
#include "help.h"
#include "hosts.h"
#include "load.h"
#include "options.h"
#include "output.h"
#include "param_file.h"
#include "request_words.h"
#include "upgrade.h"

namespace {

bool ReadPasswordFile(const std::string& path, std::string& password) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

int ParsePositive(const std::string& text, const char* what) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value <= 0 || value > 1000000000)
        Usage((std::string("invalid ") + what).c_str());
    return static_cast<int>(value);
}

// Parses qdxctl's own options, which come before the command; everything from the command on
// is left in `words`. The agent's address and password come, in rising precedence, from the
// environment, from -C, and from the options that name them.
Options ParseOptions(int argc, char** argv) {
    CLI::App app("qdxctl");
    app.set_help_flag();
    app.prefix_command();
    std::string host, port, passwordFile, password, config, timeout, hostsFile, parallel;
    std::vector<std::string> paramFiles;
    bool raw = false, json = false, help = false;
    auto* hostOption = app.add_option("-H,--host", host);
    auto* portOption = app.add_option("-p,--port", port);
    auto* fileOption = app.add_option("-f,--password-file", passwordFile);
    auto* passwordOption = app.add_option("--password", password);
    auto* configOption = app.add_option("-C,--config", config);
    auto* timeoutOption = app.add_option("-t,--timeout", timeout);
    app.add_option("-F,--param-file", paramFiles)->allow_extra_args(false);
    auto* hostsOption = app.add_option("--hosts", hostsFile);
    auto* parallelOption = app.add_option("--parallel", parallel);
    app.add_flag("-r,--raw", raw);
    app.add_flag("-j,--json", json);
    app.add_flag("-h,--help", help);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        Usage(e.what());
    }
    if (help) Usage(nullptr);

    Options options;
    options.words = app.remaining();
    if (const char* fromEnv = std::getenv("QDX_PORT")) options.endpoint.port = std::atoi(fromEnv);
    if (const char* fromEnv = std::getenv("QDX_PASSWORD")) {
        options.endpoint.password = fromEnv;
        options.passwordGiven = true;
    }
    if (configOption->count()) {
        std::string error;
        if (!EndpointFromConfig(config, options.endpoint, error))
            Usage((config + ": " + error).c_str());
        options.passwordGiven = true;
    }
    if (hostOption->count()) options.endpoint.host = host;
    if (portOption->count()) options.endpoint.port = ParsePositive(port, "port");
    if (fileOption->count()) {
        if (!ReadPasswordFile(passwordFile, options.endpoint.password))
            Usage(("cannot read password file " + passwordFile).c_str());
        options.passwordGiven = true;
    }
    if (passwordOption->count()) {
        options.endpoint.password = password;
        options.passwordGiven = true;
    }
    if (timeoutOption->count()) options.endpoint.timeoutMs = ParsePositive(timeout, "time-out");
    for (const std::string& text : paramFiles) {
        ParamFile file;
        if (!ParseParamFile(text, file)) Usage("invalid --param-file N=FILE or NAME=FILE");
        options.paramFiles.push_back(file);
    }
    if (hostsOption->count()) options.hostsFile = hostsFile;
    if (parallelOption->count()) options.parallel = ParsePositive(parallel, "--parallel");
    if (options.parallel > 4096) Usage("--parallel is at most 4096");
    if (raw && json) Usage("--raw and --json exclude each other");
    options.output = json ? OutputForm::Json : raw ? OutputForm::Raw : OutputForm::Named;
    if (options.words.empty()) Usage("no command given");
    return options;
}

// The checks for commands that talk to an agent.
void NeedAgent(const Options& options) {
    if (options.hostsFile.empty() &&
        (options.endpoint.port <= 0 || options.endpoint.port > 65535))
        Usage("no valid port (use --port, QDX_PORT or -C)");
    if (!options.passwordGiven) Usage("no password (use --password-file, QDX_PASSWORD or -C)");
}

int Load(const Options& options, const std::vector<std::string>& words) {
    int requests = 0;
    int concurrency = 1;
    size_t i = 1;
    for (; i + 1 < words.size() && words[i][0] == '-'; i += 2) {
        if (words[i] == "-n")
            requests = ParsePositive(words[i + 1], "request count");
        else if (words[i] == "-c")
            concurrency = ParsePositive(words[i + 1], "concurrency");
        else
            Usage(("unknown load option " + words[i]).c_str());
    }
    if (requests <= 0 || i >= words.size()) Usage("load needs -n N and a command");
    if (!options.hostsFile.empty()) Usage("load asks one agent, not --hosts");
    std::vector<std::string> command(words.begin() + static_cast<long>(i), words.end());
    Request request = BuildRequest(command, options.paramFiles);
    LoadResult result =
        RunLoad(options.endpoint, request.command, request.lines, requests, concurrency);
    std::printf("requests %d  concurrency %d  failures %d\n", result.requests, concurrency,
                result.failures);
    std::printf("requests/s %.1f  p50 %.3f ms  p99 %.3f ms\n",
                result.seconds > 0 ? result.requests / result.seconds : 0.0, result.p50Ms,
                result.p99Ms);
    return result.failures == 0 ? kExitOk : kExitNotOk;
}

// upgrade [--wait SECONDS] FILE
int Upgrade(const Options& options, const std::vector<std::string>& args) {
    int waitSeconds = 60;
    size_t i = 0;
    if (args.size() > 2 && args[0] == "--wait") {
        waitSeconds = ParsePositive(args[1], "wait");
        i = 2;
    }
    if (args.size() != i + 1) Usage("upgrade needs one FILE");
    if (!options.hostsFile.empty()) return UpgradeHosts(options, args[i], waitSeconds);
    Request request;
    request.command = "UpgradeCode";
    request.spec = FindCommandSpec(request.command);
    return RunUpgrade(options.endpoint, args[i], waitSeconds, [&](const QdxReplyText& reply) {
        return PrintReply(request, options.endpoint, reply, options.output);
    });
}

bool gCheckMode = false;

}  // namespace

void Usage(const char* problem) {
    if (problem != nullptr && gCheckMode) {
        std::printf("QDX UNKNOWN - %s\n", problem);
        std::exit(kStateUnknown);
    }
    if (problem) std::fprintf(stderr, "qdxctl: %s\n\n", problem);
    std::fputs(kOptionsSummary, problem ? stderr : stdout);
    std::exit(problem ? kExitUsage : kExitOk);
}

void CommandUsage(const std::string& command, const std::string& problem) {
    if (gCheckMode) Usage((command + ": " + problem).c_str());
    std::fprintf(stderr, "qdxctl: %s: %s\n", command.c_str(), problem.c_str());
    PrintParameters(command);
    std::exit(kExitUsage);
}

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    std::vector<std::string> words = options.words;
    const std::string first = words[0];
    std::vector<std::string> rest(words.begin() + 1, words.end());

    if (first == "help") {
        if (rest.empty()) return PrintHelp("");
        if (rest.size() == 1 && rest[0] == "--man") {
            PrintManPage();
            return kExitOk;
        }
        if (rest.size() == 1) return PrintHelp(rest[0]);
        Usage("help takes one COMMAND or --man");
    }
    if (first == "completion") {
        if (rest.size() != 1 || rest[0] != "bash") Usage("completion supports bash");
        PrintBashCompletion();
        return kExitOk;
    }
    if (first == "verify-config") {
        if (rest.size() != 1) Usage("verify-config needs one configuration file");
        return VerifyConfig(rest[0]);
    }

    if (first == "check") {
        gCheckMode = true;
        CheckOptions check = ParseCheckOptions(rest);
        NeedAgent(options);
        Request request = BuildRequest(rest, options.paramFiles);
        ValidateCheck(request, check);
        if (!options.hostsFile.empty()) {
            if (IsTextLog(request)) Usage("text-log checks keep one state: not with --hosts");
            return RunHosts(options, request, &check);
        }
        return RunCheck(options, check, request);
    }
    NeedAgent(options);
    if (first == "load") return Load(options, words);
    if (first == "upgrade") return Upgrade(options, rest);
    Request request = BuildRequest(words, options.paramFiles);
    if (!options.hostsFile.empty()) return RunHosts(options, request, nullptr);
    QdxReplyText reply = QdxCall(options.endpoint, request.command, request.lines);
    return PrintReply(request, options.endpoint, reply, options.output);
}
