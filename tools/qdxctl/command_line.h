// qdxctl's command line: its own commands (check, set, upgrade, ...) and every option, each in
// one table row that the parser and the help both read. qdxctl's general options are taken
// wherever they stand before the agent command, also after one of its own commands ("check -p
// 1055 -w 5 TEST-UNC /"). Values are checked once all options are read, so that a problem is
// reported the way the command line's mode asks for (UNKNOWN in check mode).
#pragma once

#include <span>
#include <string>

#include "options.h"

enum class Opt {
    Host, Port, PasswordFile, Password, Config, Timeout, ParamFile, Hosts, Parallel, ReplyMemory,
    Raw, Json,
    Wire, ShowPassword, Help,
    Warning, Critical, Value, State, CriticalOnTimeout, Unreachable,
    DryRun,
    Wait, Force, Machine, MaxFailures, Qdxpath,
    Requests, Concurrency,
    Listen, ModulesFile, StateDir, CheckModules,
    Man,
    Tls, TlsCa, TlsCert, TlsKey, TlsPskIdentity, TlsPskFile, TlsNoVerify,
};

struct OptionSpec {
    Opt id;
    const char* shortName;  // "-p", or null
    const char* longName;   // "--port"
    const char* valueName;  // "PORT", or null for a switch
    const char* help;
};

// One of qdxctl's own commands.
struct Subcommand {
    const char* name;
    std::span<const OptionSpec> options;  // beside the general ones
    const char* synopsis;                 // what follows "qdxctl [options] NAME"
    const char* help;                     // what it does, several lines
    int (*run)(Options& options);
};

std::span<const OptionSpec> GeneralOptions();
std::span<const Subcommand> Subcommands();
const Subcommand* FindSubcommand(const std::string& name);

// Reads argv: the general options, qdxctl's own command and its options, and leaves the rest in
// Options::words. Usage errors end qdxctl (Fail). "-h" prints the help of the command it follows.
Options ParseCommandLine(int argc, char** argv);

// "qdxctl --help": the synopsis of every command and the general options.
void PrintSummary(std::FILE* out);
// "qdxctl help NAME" for one of qdxctl's own commands.
void PrintSubcommandHelp(std::FILE* out, const Subcommand& command);
// Option lines "  -p, --port PORT   text" of a table.
void PrintOptionTable(std::FILE* out, std::span<const OptionSpec> options);
