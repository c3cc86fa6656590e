// What qdxctl's command line asks for once its options are read, its exit statuses, and how a
// usage error ends it: one line, exit 64, or "QDX UNKNOWN - ..." and exit 3 when "check" is on
// the command line (a monitoring engine shows any other status as an error of its own).
#pragma once

#include <string>
#include <vector>

#include "client/client.h"
#include "client/threshold.h"
#include "exporter.h"
#include "param_file.h"

constexpr int kExitOk = 0;
constexpr int kExitNotOk = 1;    // a result other than "200", or a change that did not hold
constexpr int kExitNoReply = 2;  // no reply came
constexpr int kExitUsage = 64;   // a usage error
constexpr int kExitInterrupted = 130;

constexpr int kStateOk = 0;
constexpr int kStateWarning = 1;
constexpr int kStateCritical = 2;
constexpr int kStateUnknown = 3;

enum class OutputForm { Named, Raw, Json };

struct CheckOptions {
    ThresholdRange warning;
    ThresholdRange critical;
    std::string value;       // --value; empty for the command's main value
    std::string stateFile;   // --state, for text-log checks
    int unreachable = kStateUnknown;  // refused, closed without a reply, timed out
    int timeout = kStateUnknown;      // timed out (--unreachable, or --critical-on-timeout)
};

struct UpgradeOptions {
    int waitSeconds = 60;
    bool force = false;     // send a file that is no executable for the machine
    std::string machine;    // --machine; empty: the machine qdxctl runs on
    int maxFailures = 1;    // with --hosts: no new upgrade after this many failures
    std::string qdxpath;    // --qdxpath: the agent's executable, for the check after the restart
};

struct Options {
    QdxEndpoint endpoint;
    bool passwordGiven = false;
    OutputForm output = OutputForm::Named;
    bool wire = false;          // positional words are the parameter lines, as given
    bool showPassword = false;  // GetSettings output shows the password
    std::vector<ParamFile> paramFiles;
    std::string hostsFile;  // --hosts; "-" is standard input
    int parallel = 32;
    long long memoryBudget = 1LL << 30;  // --hosts: bytes of replies held at once
    std::string configQdxpath;           // "qdxpath" of the -C configuration
    bool tls = false;                    // talk TLS to the agent's TLS port
    TlsOptions tlsOptions;               // the client's certificate, authority, pre-shared key
    int configTlsPort = 0;               // "tlsport" of the -C configuration

    std::string subcommand;  // qdxctl's own command ("check", "set", ...); empty for an agent one
    bool dryRun = false;     // set --dry-run, upgrade --dry-run
    CheckOptions check;
    UpgradeOptions upgrade;
    int loadRequests = 0;
    int loadConcurrency = 1;
    ExporterOptions exporter;
    // What follows the options: the agent command and its words (also after "check"), set's
    // NAME=VALUE words, upgrade's FILE, help's topic, ...
    std::vector<std::string> words;
};

// True when "check" is on the command line: every error is then UNKNOWN.
bool CheckMode();
void SetCheckMode(bool on);

// Ends qdxctl for a usage error: "qdxctl: PROBLEM" and 64, or in check mode one UNKNOWN line and 3.
[[noreturn]] void Fail(const std::string& problem);
// The same for a command's parameters, with the command's parameters listed after the line
// (not in check mode, where one line is all a monitoring engine shows).
[[noreturn]] void CommandUsage(const std::string& command, const std::string& problem);
