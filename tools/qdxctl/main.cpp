// qdxctl: the administrator's client for the qdx agent.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "client/client.h"
#include "foundation/string.h"
#include "load.h"
#include "param_file.h"
#include "upgrade.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotOk = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitUsage = 64;

const char kUsage[] =
    "Usage: qdxctl [options] COMMAND [PARAMETER...]\n"
    "       qdxctl [options] settings                 read the settings (GetSettings)\n"
    "       qdxctl [options] set NAME=VALUE...        change one or more settings\n"
    "       qdxctl [options] load -n N -c C COMMAND [PARAMETER...]\n"
    "       qdxctl [options] upgrade [--wait SEC] FILE  send FILE as the agent's new executable\n"
    "\n"
    "Options:\n"
    "  -H, --host HOST          agent address (default 127.0.0.1)\n"
    "  -p, --port PORT          agent port (default: $QDX_PORT)\n"
    "  -f, --password-file FILE read the password from the first line of FILE\n"
    "                           (default: $QDX_PASSWORD)\n"
    "      --password TEXT      password on the command line (visible to other users)\n"
    "  -t, --timeout MS         connect and reply time-out in milliseconds (default 10000)\n"
    "  -r, --raw                print the reply text exactly as received\n"
    "  -F, --param-file N=FILE  parameter N is the content of FILE, line breaks escaped\n"
    "                           (the script of TEST-ShellScript); repeatable\n"
    "\n"
    "COMMAND is an agent command such as GetInfo, TEST-FileExists or QUIT; each PARAMETER\n"
    "is one parameter line. Prints the result code, then the value lines, with list values\n"
    "(escaped line breaks) shown on one line, separated by commas.\n"
    "upgrade waits (60 s unless --wait says otherwise) until the agent answers again.\n"
    "Exit status: 0 for result 200, 1 for any other result, 2 when no reply came.\n";

struct Options {
    QdxEndpoint endpoint;
    bool raw = false;
    bool passwordGiven = false;
    std::vector<std::string> words;  // the command and its parameters
    std::vector<ParamFile> paramFiles;
};

[[noreturn]] void Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "qdxctl: %s\n\n", problem);
    std::fputs(kUsage, problem ? stderr : stdout);
    std::exit(problem ? kExitUsage : kExitOk);
}

bool ReadPasswordFile(const std::string& path, std::string& password) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

int ParsePositive(const char* text, const char* what) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 1000000000)
        Usage((std::string("invalid ") + what).c_str());
    return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    if (const char* port = std::getenv("QDX_PORT")) options.endpoint.port = std::atoi(port);
    if (const char* password = std::getenv("QDX_PASSWORD")) {
        options.endpoint.password = password;
        options.passwordGiven = true;
    }
    int i = 1;
    auto value = [&](const char* name) -> const char* {
        if (i + 1 >= argc) Usage((std::string(name) + " needs a value").c_str());
        return argv[++i];
    };
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string arg = argv[i];
        if (arg == "-H" || arg == "--host") {
            options.endpoint.host = value("--host");
        } else if (arg == "-p" || arg == "--port") {
            options.endpoint.port = ParsePositive(value("--port"), "port");
        } else if (arg == "-f" || arg == "--password-file") {
            const char* path = value("--password-file");
            if (!ReadPasswordFile(path, options.endpoint.password))
                Usage((std::string("cannot read password file ") + path).c_str());
            options.passwordGiven = true;
        } else if (arg == "--password") {
            options.endpoint.password = value("--password");
            options.passwordGiven = true;
        } else if (arg == "-t" || arg == "--timeout") {
            options.endpoint.timeoutMs = ParsePositive(value("--timeout"), "time-out");
        } else if (arg == "-F" || arg == "--param-file") {
            ParamFile file;
            if (!ParseParamFile(value("--param-file"), file)) Usage("invalid --param-file N=FILE");
            options.paramFiles.push_back(file);
        } else if (arg == "-r" || arg == "--raw") {
            options.raw = true;
        } else if (arg == "-h" || arg == "--help") {
            Usage(nullptr);
        } else {
            Usage(("unknown option " + arg).c_str());
        }
    }
    for (; i < argc; i++) options.words.push_back(argv[i]);
    if (options.words.empty()) Usage("no command given");
    if (options.endpoint.port <= 0 || options.endpoint.port > 65535)
        Usage("no valid port (use --port or QDX_PORT)");
    if (!options.passwordGiven) Usage("no password (use --password-file or QDX_PASSWORD)");
    return options;
}

int ExitFor(const QdxReplyText& reply) {
    if (reply.status == CallStatus::NoSessionKey) {
        std::fprintf(stderr, "qdxctl: nothing sent, %s\n", reply.error.c_str());
        return kExitNoReply;
    }
    if (reply.status != CallStatus::Ok) {
        std::fprintf(stderr, "qdxctl: no reply from the agent: %s\n", reply.error.c_str());
        return kExitNoReply;
    }
    return reply.Code() == "200" ? kExitOk : kExitNotOk;
}

// A value line for reading: escaped line breaks decoded, so a list value becomes one line with
// its entries separated by commas.
std::string ForDisplay(const std::string& line) {
    String decoded = qdxDecodeStrings(String(line.data(), static_cast<int>(line.size())));
    std::string text(decoded.Data() ? decoded.Data() : "", static_cast<size_t>(decoded.Length()));
    std::string shown;
    for (size_t k = 0; k < text.size(); k++) {
        if (text[k] == '\r') continue;
        if (text[k] == '\n') {
            if (k + 1 < text.size()) shown += ',';
            continue;
        }
        shown += text[k];
    }
    return shown;
}

void PrintReply(const QdxReplyText& reply, bool raw) {
    if (raw) {
        std::fwrite(reply.text.data(), 1, reply.text.size(), stdout);
        return;
    }
    // Result line, then the value lines; a reason written after the code sits on the
    // first value line.
    std::printf("%s\n", reply.Code().c_str());
    for (const std::string& line : reply.Lines()) std::printf("%s\n", ForDisplay(line).c_str());
}

// Prints the reply (or why none came) and returns the exit status for it.
int Report(const QdxReplyText& reply, bool raw) {
    int status = ExitFor(reply);
    if (status != kExitNoReply) PrintReply(reply, raw);
    return status;
}

int Call(const Options& options, const std::string& command,
         const std::vector<std::string>& params) {
    return Report(QdxCall(options.endpoint, command, params), options.raw);
}

// upgrade [--wait SECONDS] FILE
int Upgrade(const Options& options, const std::vector<std::string>& args) {
    int waitSeconds = 60;
    size_t i = 0;
    if (args.size() > 2 && args[0] == "--wait") {
        waitSeconds = ParsePositive(args[1].c_str(), "wait");
        i = 2;
    }
    if (args.size() != i + 1) Usage("upgrade needs one FILE");
    return RunUpgrade(options.endpoint, args[i], waitSeconds,
                      [&](const QdxReplyText& reply) { return Report(reply, options.raw); });
}

// The filter list travels with its entries on escaped lines; accept them comma- or
// blank-separated on the command line.
std::string EncodeFilterList(const std::string& setting) {
    const std::string prefix = "IPFilterAddr=";
    if (setting.compare(0, prefix.size(), prefix) != 0) return setting;
    std::string encoded = prefix;
    bool separator = false;
    for (size_t k = prefix.size(); k < setting.size(); k++) {
        char c = setting[k];
        if (c == ',' || c == ' ') {
            separator = true;
            continue;
        }
        if (separator && encoded.size() > prefix.size()) encoded += "%0D%0A";
        separator = false;
        encoded += c;
    }
    return encoded;
}

int Load(const Options& options) {
    int requests = 0;
    int concurrency = 1;
    size_t i = 1;
    for (; i + 1 < options.words.size() && options.words[i][0] == '-'; i += 2) {
        if (options.words[i] == "-n")
            requests = ParsePositive(options.words[i + 1].c_str(), "request count");
        else if (options.words[i] == "-c")
            concurrency = ParsePositive(options.words[i + 1].c_str(), "concurrency");
        else
            Usage(("unknown load option " + options.words[i]).c_str());
    }
    if (requests <= 0 || i >= options.words.size()) Usage("load needs -n N and a command");
    std::vector<std::string> params(options.words.begin() + static_cast<long>(i) + 1,
                                    options.words.end());
    LoadResult result = RunLoad(options.endpoint, options.words[i], params, requests, concurrency);
    std::printf("requests %d  concurrency %d  failures %d\n", result.requests, concurrency,
                result.failures);
    std::printf("requests/s %.1f  p50 %.3f ms  p99 %.3f ms\n",
                result.seconds > 0 ? result.requests / result.seconds : 0.0, result.p50Ms,
                result.p99Ms);
    return result.failures == 0 ? kExitOk : kExitNotOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    const std::string& first = options.words[0];
    std::vector<std::string> rest(options.words.begin() + 1, options.words.end());
    if (first == "settings") return Call(options, "GetSettings", {});
    if (first == "set") {
        if (rest.empty()) Usage("set needs NAME=VALUE arguments");
        for (std::string& setting : rest) setting = EncodeFilterList(setting);
        return Call(options, "SetSettings", rest);
    }
    if (first == "load") return Load(options);
    if (first == "upgrade") return Upgrade(options, rest);
    std::string error;
    if (!InsertParamFiles(options.paramFiles, rest, error)) Usage(error.c_str());
    return Call(options, first, rest);
}
