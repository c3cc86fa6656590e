// qdxctl's own options (those before the command) and its exit statuses.
#pragma once

#include <string>
#include <vector>

#include "client/client.h"
#include "param_file.h"

constexpr int kExitOk = 0;
constexpr int kExitNotOk = 1;       // a result other than "200"
constexpr int kExitNoReply = 2;     // no reply came
constexpr int kExitUsage = 64;      // a usage error
constexpr int kExitInterrupted = 130;

enum class OutputForm { Named, Raw, Json };

struct Options {
    QdxEndpoint endpoint;
    bool passwordGiven = false;
    OutputForm output = OutputForm::Named;
    std::vector<ParamFile> paramFiles;
    std::string hostsFile;  // --hosts; "-" is standard input
    int parallel = 32;
    std::vector<std::string> words;  // the command and everything after it
};

// Prints `problem` (when given) and the options summary, and exits: 64 after a problem, else 0.
[[noreturn]] void Usage(const char* problem);
// A usage error that lists a command's parameters (exit 64).
[[noreturn]] void CommandUsage(const std::string& command, const std::string& problem);
