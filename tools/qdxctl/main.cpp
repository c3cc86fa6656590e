// qdxctl: the administrator's client for the qdx agent.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "client/client.h"
#include "command_line.h"
#include "commands.h"
#include "help.h"
#include "hosts.h"
#include "options.h"
#include "output.h"
#include "request_words.h"
#include "terminal_text.h"

void Fail(const std::string& problem) {
    std::fflush(stdout);
    if (CheckMode()) {
        std::printf("QDX UNKNOWN - %s\n", TerminalText(problem).c_str());
        std::exit(kStateUnknown);
    }
    std::fprintf(stderr, "qdxctl: %s\n", TerminalText(problem).c_str());
    std::exit(kExitUsage);
}

void CommandUsage(const std::string& command, const std::string& problem) {
    if (CheckMode()) Fail(command + ": " + problem);
    std::fprintf(stderr, "qdxctl: %s: %s\n", command.c_str(), TerminalText(problem).c_str());
    PrintParameters(command);
    std::exit(kExitUsage);
}

void NeedAgent(const Options& options) {
    if (options.hostsFile.empty() && options.endpoint.port == 0)
        Fail("no port (use -p, QDX_PORT or -C)");
    if (!options.passwordGiven) Fail("no password (use -f FILE, QDX_PASSWORD or -C)");
}

int RunAgentCommand(Options& options) {
    // SetSettings is checked and read back as "set" does.
    if (!options.wire && options.words[0] == "SetSettings") {
        options.words.erase(options.words.begin());
        return RunSetCommand(options);
    }
    NeedAgent(options);
    Request request = BuildRequest(options.words, options);
    if (!options.hostsFile.empty()) return RunHosts(options, request, nullptr);
    QdxReplyText reply = QdxCall(options.endpoint, request.command, request.lines);
    return PrintReply(request, options, options.endpoint, std::move(reply));
}

int main(int argc, char** argv) {
    Options options = ParseCommandLine(argc, argv);
    const Subcommand* subcommand = FindSubcommand(options.subcommand);
    if (subcommand != nullptr) return subcommand->run(options);
    return RunAgentCommand(options);
}
