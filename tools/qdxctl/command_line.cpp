#include "command_line.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "commands.h"
#include "config_file.h"
#include "help.h"
#include "input_file.h"

namespace {

bool gCheckMode = false;

// ---- The options, one row each: what the parser takes and what the help shows.

const OptionSpec kGeneral[] = {
    {Opt::Host, "-H", "--host", "HOST", "agent address or name, IPv4 or IPv6 (default 127.0.0.1)"},
    {Opt::Port, "-p", "--port", "PORT", "agent port, 1 to 65535 (default: $QDX_PORT)"},
    {Opt::PasswordFile, "-f", "--password-file", "FILE",
     "read the password from the first line of FILE, a regular file of at most 64 KiB "
     "(default: $QDX_PASSWORD)"},
    {Opt::Password, nullptr, "--password", "TEXT",
     "password on the command line (visible to other users)"},
    {Opt::Config, "-C", "--config", "CFG",
     "port, listen address, password and qdxpath from an agent configuration (a regular file "
     "of at most 1 MiB)"},
    {Opt::Tls, nullptr, "--tls", nullptr,
     "talk TLS to the agent's TLS port (with -C: its tlsport, tlscafile and pre-shared key); "
     "implied by the --tls-* options. With --hosts, every host over TLS, each checked against "
     "its own name"},
    {Opt::TlsCa, nullptr, "--tls-ca", "FILE",
     "the authority the agent's certificate must chain to (default: the system's)"},
    {Opt::TlsCert, nullptr, "--tls-cert", "FILE",
     "the client's certificate, for an agent that "
     "asks for one (tlscafile)"},
    {Opt::TlsKey, nullptr, "--tls-key", "FILE", "the client certificate's private key"},
    {Opt::TlsPskIdentity, nullptr, "--tls-psk-identity", "ID", "the pre-shared key's identity"},
    {Opt::TlsPskFile, nullptr, "--tls-psk-file", "FILE",
     "the pre-shared key, 32 to 128 hexadecimal digits"},
    {Opt::TlsNoVerify, nullptr, "--tls-no-verify", nullptr,
     "do not check the agent's certificate: anyone between may pose as the agent and read the "
     "password's digest and every request"},
    {Opt::Timeout, "-t", "--timeout", "MS",
     "time-out in milliseconds, 1 to 3600000 (default 10000): of one exchange from the "
     "connection attempt to the reply's last byte; of a whole text-log check"},
    {Opt::ParamFile, "-F", "--param-file", "NAME=FILE",
     "parameter NAME (or N=FILE: the parameter at line N) is the content of FILE, a regular "
     "file of at most 1 MiB, line breaks escaped; repeatable"},
    {Opt::Hosts, nullptr, "--hosts", "FILE",
     "ask every host[:port] line of FILE (- for standard input; at most 64 MiB)"},
    {Opt::Parallel, nullptr, "--parallel", "N",
     "at most N hosts at a time, 1 to 4096 (default 32); fewer when the descriptor limit "
     "leaves less room"},
    {Opt::ReplyMemory, nullptr, "--reply-memory", "MIB",
     "with --hosts, MiB of replies held at once, 1 to 1048576 (default 1024); a reply that does "
     "not fit waits for room. A reply is read up to 268500992 bytes (a 256 MiB file list and "
     "its framing)"},
    {Opt::Raw, "-r", "--raw", nullptr,
     "print the reply text exactly as received (GetSettings' password masked unless "
     "--show-password)"},
    {Opt::Json, "-j", "--json", nullptr, "print JSON: one object per reply, host or check"},
    {Opt::Wire, nullptr, "--wire", nullptr,
     "every word after the agent command is one parameter line, exactly as given"},
    {Opt::ShowPassword, nullptr, "--show-password", nullptr,
     "show the password in GetSettings output (masked otherwise)"},
    {Opt::Help, "-h", "--help", nullptr, "this help"},
};

const OptionSpec kCheckOptions[] = {
    {Opt::Warning, "-w", "--warning", "RANGE",
     "WARNING when the value lies outside RANGE (inside with @): 10, 10:, ~:10, 10:20, @10:20"},
    {Opt::Critical, "-c", "--critical", "RANGE", "CRITICAL likewise; checked before -w"},
    {Opt::Value, nullptr, "--value", "NAME",
     "the value to check (default: the command's main value, qdxctl help COMMAND)"},
    {Opt::State, nullptr, "--state", "FILE",
     "text-log checks: the file that keeps the log's position between calls"},
    {Opt::Unreachable, nullptr, "--unreachable", "STATE",
     "unknown (default), warning or critical: the state when the agent refuses the "
     "connection, does not answer within -t or closes without a reply"},
    {Opt::CriticalOnTimeout, nullptr, "--critical-on-timeout", nullptr,
     "a time-out alone is CRITICAL"},
};

const OptionSpec kSetOptions[] = {
    {Opt::DryRun, nullptr, "--dry-run", nullptr,
     "read the settings and print what would change (name: old -> new); change nothing"},
};

const OptionSpec kUpgradeOptions[] = {
    {Opt::Wait, nullptr, "--wait", "SEC",
     "wait up to SEC seconds, 1 to 86400, for the agent to answer again (default 60)"},
    {Opt::Force, nullptr, "--force", nullptr,
     "send FILE even when it is no executable for the machine"},
    {Opt::Machine, nullptr, "--machine", "ARCH",
     "the agent host's machine: x86_64, i386, aarch64, arm, riscv64, ppc64le, s390x (default: "
     "the machine qdxctl runs on)"},
    {Opt::Qdxpath, nullptr, "--qdxpath", "PATH",
     "the agent's executable, whose CRC-32 is compared with FILE's after the restart (default: "
     "qdxpath of -C, else /usr/sbin/qdx)"},
    {Opt::DryRun, nullptr, "--dry-run", nullptr,
     "check FILE, ask GetInfo and print what would happen; send nothing else"},
    {Opt::MaxFailures, nullptr, "--max-failures", "N",
     "with --hosts: start no further upgrade after N failures, 1 to 1000000 (default 1)"},
};

const OptionSpec kLoadOptions[] = {
    {Opt::Requests, "-n", "--requests", "N", "number of requests, 1 to 10000000"},
    {Opt::Concurrency, "-c", "--concurrency", "C",
     "requests at a time (default 1); at most what the descriptor limit allows"},
};

const OptionSpec kExporterOptions[] = {
    {Opt::Listen, nullptr, "--listen", "ADDR:PORT",
     "the address to serve on (default 127.0.0.1:9732; [ADDR]:PORT for IPv6)"},
    {Opt::ModulesFile, nullptr, "--config", "FILE",
     "the modules file (YAML): password_file, targets and modules"},
    {Opt::StateDir, nullptr, "--state-dir", "DIR",
     "where text-log modules keep each target's place, so a restart loses nothing"},
    {Opt::CheckModules, nullptr, "--check", nullptr,
     "read and check the modules file, print what it holds and exit (0 when it is sound)"},
};

const OptionSpec kHelpOptions[] = {
    {Opt::Man, nullptr, "--man", nullptr, "print the qdxctl(1) manual page (roff)"},
};

const Subcommand kSubcommands[] = {
    {"check", kCheckOptions, "[check options] COMMAND [PARAMETER...]",
     "A monitoring-plugin check of any test: one status line with performance data, exit 0 OK,\n"
     "1 WARNING, 2 CRITICAL, 3 UNKNOWN; every error is UNKNOWN. Without -w and -c, the exit\n"
     "code of TEST-ExternalPrg and the scriptres: line of TEST-ShellScript are the state.",
     RunCheckCommand},
    {"settings",
     {},
     "",
     "Read the settings (GetSettings); the password is masked unless "
     "--show-password.",
     RunSettingsCommand},
    {"set", kSetOptions, "[--dry-run] NAME=VALUE...",
     "Change settings (SetSettings). Every NAME=VALUE is checked first (qdxctl help SetSettings\n"
     "lists the names and their values); nothing is sent when one is wrong. After the change\n"
     "the settings are read back: a setting that does not hold the value sent is named and\n"
     "exits 1.",
     RunSetCommand},
    {"upgrade", kUpgradeOptions, "[upgrade options] FILE",
     "Send FILE (an ELF executable for the agent's machine, 101 to 10485759 bytes) as the\n"
     "agent's new executable, wait until the agent answers as a new process, and compare the\n"
     "CRC-32 of its executable with FILE's: a difference means the agent rolled back.",
     RunUpgradeCommand},
    {"load", kLoadOptions, "-n N [-c C] COMMAND [PARAMETER...]",
     "Load test: N requests, C at a time; prints requests per second, p50 and p99.",
     RunLoadCommand},
    {"exporter", kExporterOptions, "[exporter options] --config FILE",
     "A Prometheus exporter: serves /probe?target=HOST[:PORT]&module=NAME, which sends the\n"
     "module's read-only request to the target (only targets the modules file allows), and\n"
     "/metrics with the exporter's own figures. Runs until SIGTERM or SIGINT.\n"
     "The modules file (YAML) holds password_file (the agents' password: its first line that is\n"
     "not empty or a # comment), targets (addresses, ADDRESS/BITS, LOW-HIGH and host names, each\n"
     "with an optional :PORT), port, max_probes (probes at once, default 16), timeout_seconds\n"
     "(default 10) and modules: NAME: {command: TEST-... or GetInfo, params: {NAME: VALUE},\n"
     "values: [numbers to export], labels: [texts as labels], targets, password_file, port,\n"
     "tls: true to probe the TLS port with tls_port, tls_ca_file, tls_cert_file, tls_key_file,\n"
     "tls_psk_identity, tls_psk_file, tls_insecure_skip_verify}.\n"
     "A probe answers qdx_probe_success, qdx_probe_duration_seconds, qdx_probe_result_code and\n"
     "each number of the reply as qdx_COMMAND_VALUE in base units; text-log modules count the\n"
     "matched lines (qdx_textlog_matched_lines_total) from where the last probe stopped.",
     RunExporterCommand},
    {"help", kHelpOptions, "[COMMAND | --man]",
     "The commands, or one command's parameters, values and options. Contacts no agent.",
     RunHelpCommand},
    {"completion", {}, "bash", "Print the bash completion script.", RunCompletionCommand},
    {"verify-config",
     {},
     "CFG",
     "Check an agent configuration file with the agent's own reader; contacts no agent.",
     RunVerifyConfigCommand},
};

// One option as given, its value still unchecked.
struct Given {
    Opt id;
    std::string option;  // as written, for messages
    std::string value;
};

const OptionSpec* Find(std::span<const OptionSpec> table, const std::string& name) {
    for (const OptionSpec& spec : table)
        if ((spec.shortName != nullptr && name == spec.shortName) || name == spec.longName)
            return &spec;
    return nullptr;
}

bool LooksLikeOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-' && word != "--";
}

// Reads options from words[i] on until a word that is none; `extra` are the options of the
// command they follow.
void ReadOptions(const std::vector<std::string>& words, size_t& i,
                 std::span<const OptionSpec> extra, const Subcommand* within,
                 std::vector<Given>& given) {
    for (; i < words.size() && LooksLikeOption(words[i]); i++) {
        std::string name = words[i], value;
        bool inlineValue = false;
        size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            inlineValue = true;
        }
        const OptionSpec* spec = Find(extra, name);
        if (spec == nullptr) spec = Find(GeneralOptions(), name);
        std::string where = within != nullptr ? std::string(" of ") + within->name : "";
        if (spec == nullptr)
            Fail("unknown option " + name + where + " (qdxctl help" +
                 (within != nullptr ? std::string(" ") + within->name : std::string()) +
                 " lists them)");
        if (spec->id == Opt::Help) {
            if (within != nullptr)
                PrintHelp(within->name);
            else
                PrintSummary(stdout);
            std::exit(kExitOk);
        }
        if (spec->valueName == nullptr) {
            if (inlineValue) Fail(name + " takes no value");
        } else if (!inlineValue) {
            if (i + 1 >= words.size()) Fail(name + " needs a value (" + spec->valueName + ")");
            value = words[++i];
        }
        given.push_back({spec->id, name, value});
    }
    if (i < words.size() && words[i] == "--") i++;
}

long long Number(const Given& g, long long low, long long high, const char* unit = "") {
    const std::string& text = g.value;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || errno != 0 || *end != '\0' || value < low || value > high)
        Fail(g.option + " " + text + ": give a number from " + std::to_string(low) + " to " +
             std::to_string(high) + unit);
    return value;
}

int StateNamed(const Given& g) {
    if (g.value == "unknown") return kStateUnknown;
    if (g.value == "warning") return kStateWarning;
    if (g.value == "critical") return kStateCritical;
    Fail(g.option + " " + g.value + ": give unknown, warning or critical");
}

void ReadPasswordFile(const std::string& path, Options& options) {
    std::string content, error;
    if (!ReadInputFile(path, kMaxPasswordFile, false, content, error))
        Fail("password file: " + error);
    std::string line = content.substr(0, content.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    options.endpoint.password = line;
    options.passwordGiven = true;
}

// Applies the options in rising precedence: environment, -C, then the options themselves.
// The TLS port and context: -p wins over the -C configuration's tlsport. The agent's certificate
// must carry the name or address each connection is made to (-H, or a --hosts line) unless
// --tls-no-verify says otherwise.
void UseTls(Options& options, const std::vector<Given>& given) {
    bool portGiven = false;
    bool configGiven = false;
    for (const Given& g : given) {
        portGiven = portGiven || g.id == Opt::Port;
        configGiven = configGiven || g.id == Opt::Config;
    }
    if (!portGiven && configGiven) {
        if (options.configTlsPort == 0) Fail("--tls: the configuration sets no tlsport");
        options.endpoint.port = options.configTlsPort;
    }
    if (!options.tlsOptions.verifyPeer)
        std::fprintf(stderr, "qdxctl: warning: --tls-no-verify: the agent's certificate is not "
                             "checked; anyone between may pose as the agent\n");
    options.tlsOptions.serverName = options.endpoint.host;
    String error;
    options.endpoint.tls = NewClientTlsContext(options.tlsOptions, error);
    if (options.endpoint.tls == nullptr)
        Fail("--tls: " + std::string(error.Data() != nullptr ? error.Data() : "",
                                     static_cast<size_t>(error.Length())));
}

void Apply(const std::vector<Given>& given, Options& options) {
    if (const char* port = std::getenv("QDX_PORT"); port != nullptr && *port != '\0')
        options.endpoint.port =
            static_cast<int>(Number({Opt::Port, "QDX_PORT", port}, 1, 65535));
    if (const char* password = std::getenv("QDX_PASSWORD")) {
        options.endpoint.password = password;
        options.passwordGiven = true;
    }
    for (const Given& g : given)
        if (g.id == Opt::Config) {
            std::string error;
            if (!EndpointFromConfig(g.value, options.endpoint, options.configQdxpath, error) ||
                !TlsFromConfig(g.value, options.configTlsPort, options.tlsOptions, error))
                Fail(g.value + ": " + error);
            options.passwordGiven = true;
        }
    bool raw = false, json = false, criticalOnTimeout = false;
    for (const Given& g : given) {
        switch (g.id) {
            case Opt::Host:
                // "[::1]" as well as "::1", as URLs and hosts files write IPv6 addresses.
                options.endpoint.host = g.value.size() > 2 && g.value.front() == '[' &&
                                                g.value.back() == ']'
                                            ? g.value.substr(1, g.value.size() - 2)
                                            : g.value;
                break;
            case Opt::Port: options.endpoint.port = static_cast<int>(Number(g, 1, 65535)); break;
            case Opt::PasswordFile: ReadPasswordFile(g.value, options); break;
            case Opt::Password:
                options.endpoint.password = g.value;
                options.passwordGiven = true;
                break;
            case Opt::Timeout:
                options.endpoint.timeoutMs = static_cast<int>(Number(g, 1, 3600000, " ms"));
                break;
            case Opt::ParamFile: {
                ParamFile file;
                if (!ParseParamFile(g.value, file))
                    Fail(g.option + " " + g.value + ": give NAME=FILE or N=FILE (N 1 to 1000)");
                options.paramFiles.push_back(file);
                break;
            }
            case Opt::Hosts: options.hostsFile = g.value; break;
            case Opt::Parallel: options.parallel = static_cast<int>(Number(g, 1, 4096)); break;
            case Opt::ReplyMemory: options.memoryBudget = Number(g, 1, 1048576) << 20; break;
            case Opt::Raw: raw = true; break;
            case Opt::Json: json = true; break;
            case Opt::Wire: options.wire = true; break;
            case Opt::ShowPassword: options.showPassword = true; break;
            case Opt::Warning:
            case Opt::Critical: {
                std::string error;
                ThresholdRange& range =
                    g.id == Opt::Warning ? options.check.warning : options.check.critical;
                if (!ParseThresholdRange(g.value, range, error)) Fail(g.option + ": " + error);
                break;
            }
            case Opt::Value: options.check.value = g.value; break;
            case Opt::State: options.check.stateFile = g.value; break;
            case Opt::Unreachable: options.check.unreachable = StateNamed(g); break;
            case Opt::CriticalOnTimeout: criticalOnTimeout = true; break;
            case Opt::DryRun: options.dryRun = true; break;
            case Opt::Wait:
                options.upgrade.waitSeconds = static_cast<int>(Number(g, 1, 86400, " s"));
                break;
            case Opt::Force: options.upgrade.force = true; break;
            case Opt::Machine: options.upgrade.machine = g.value; break;
            case Opt::MaxFailures:
                options.upgrade.maxFailures = static_cast<int>(Number(g, 1, 1000000));
                break;
            case Opt::Qdxpath: options.upgrade.qdxpath = g.value; break;
            case Opt::Requests: options.loadRequests = static_cast<int>(Number(g, 1, 10000000));
                break;
            case Opt::Concurrency:
                options.loadConcurrency = static_cast<int>(Number(g, 1, 1000000));
                break;
            case Opt::Tls: options.tls = true; break;
            case Opt::TlsCa: options.tls = true; options.tlsOptions.caFile = g.value; break;
            case Opt::TlsCert: options.tls = true; options.tlsOptions.certFile = g.value; break;
            case Opt::TlsKey: options.tls = true; options.tlsOptions.keyFile = g.value; break;
            case Opt::TlsPskIdentity:
                options.tls = true;
                options.tlsOptions.pskIdentity = g.value;
                break;
            case Opt::TlsPskFile: options.tls = true; options.tlsOptions.pskFile = g.value; break;
            case Opt::TlsNoVerify:
                options.tls = true;
                options.tlsOptions.verifyPeer = false;
                break;
            case Opt::Listen: options.exporter.listen = g.value; break;
            case Opt::ModulesFile: options.exporter.config = g.value; break;
            case Opt::StateDir: options.exporter.stateDir = g.value; break;
            case Opt::CheckModules: options.exporter.checkOnly = true; break;
            case Opt::Config:
            case Opt::Help:
            case Opt::Man: break;
        }
    }
    options.check.timeout = criticalOnTimeout ? kStateCritical : options.check.unreachable;
    if (raw && json) Fail("--raw and --json exclude each other");
    if (options.tls) UseTls(options, given);
    options.output = json ? OutputForm::Json : raw ? OutputForm::Raw : OutputForm::Named;
}

// Whether the command the words name is "check", found before any option is checked, so that
// even a problem with an option that stands before it is reported as a check result.
bool NamesCheck(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); i++) {
        if (!LooksLikeOption(words[i])) return words[i] == "check";
        const OptionSpec* spec = Find(GeneralOptions(), words[i]);
        if (spec != nullptr && spec->valueName != nullptr) i++;
    }
    return false;
}

std::string OptionLabel(const OptionSpec& spec) {
    std::string label = spec.shortName != nullptr ? std::string(spec.shortName) + ", " : "    ";
    label += spec.longName;
    if (spec.valueName != nullptr) label += std::string(" ") + spec.valueName;
    return label;
}

}  // namespace

bool CheckMode() {
    return gCheckMode;
}

void SetCheckMode(bool on) {
    gCheckMode = on;
}

std::span<const OptionSpec> GeneralOptions() {
    return kGeneral;
}

std::span<const Subcommand> Subcommands() {
    return kSubcommands;
}

const Subcommand* FindSubcommand(const std::string& name) {
    for (const Subcommand& command : kSubcommands)
        if (name == command.name) return &command;
    return nullptr;
}

Options ParseCommandLine(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    SetCheckMode(NamesCheck(words));
    std::vector<Given> given;
    size_t i = 0;
    ReadOptions(words, i, {}, nullptr, given);
    Options options;
    const Subcommand* subcommand = i < words.size() ? FindSubcommand(words[i]) : nullptr;
    if (subcommand != nullptr) {
        options.subcommand = words[i++];
        ReadOptions(words, i, subcommand->options, subcommand, given);
    }
    for (const Given& g : given)
        if (g.id == Opt::Man) options.words.push_back("--man");
    options.words.insert(options.words.end(), words.begin() + static_cast<long>(i), words.end());
    Apply(given, options);
    if (subcommand == nullptr && options.words.empty())
        Fail("no command given (qdxctl --help shows the usage, qdxctl help the commands)");
    return options;
}

void PrintOptionTable(std::FILE* out, std::span<const OptionSpec> options) {
    for (const OptionSpec& spec : options) {
        std::string label = OptionLabel(spec);
        // The help text wrapped at about 96 columns, under a 30-column label.
        std::string text = spec.help, line;
        std::fprintf(out, "  %-28s", label.c_str());
        if (label.size() > 28) std::fprintf(out, "\n  %-28s", "");
        size_t start = 0;
        bool first = true;
        while (start < text.size()) {
            size_t end = text.find(' ', start);
            if (end == std::string::npos) end = text.size();
            std::string word = text.substr(start, end - start);
            start = end + 1;
            if (!line.empty() && line.size() + 1 + word.size() > 66) {
                std::fprintf(out, "%s%s\n", first ? "" : "                              ",
                             line.c_str());
                first = false;
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
        }
        std::fprintf(out, "%s%s\n", first ? "" : "                              ", line.c_str());
    }
}

void PrintSummary(std::FILE* out) {
    std::fprintf(out, "Usage: qdxctl [options] COMMAND [PARAMETER...] [--NAME VALUE...]\n");
    for (const Subcommand& command : kSubcommands)
        std::fprintf(out, "       qdxctl [options] %s%s%s\n", command.name,
                     command.synopsis[0] ? " " : "", command.synopsis);
    std::fprintf(out, "\nOptions (also after qdxctl's own command, before the agent command):\n");
    PrintOptionTable(out, kGeneral);
    std::fprintf(
        out,
        "\nCOMMAND is an agent command such as GetInfo, TEST-FileExists or QUIT (qdxctl help lists\n"
        "them). Positional words fill the parameters the agent reads, in the order qdxctl help\n"
        "COMMAND lists them; --NAME VALUE names one; defaults fill the rest. \"--\" makes every\n"
        "later word positional. qdxctl help check, set, upgrade ... show their own options.\n"
        "Exit status: 0 for result 200, 1 for any other result, 2 when no reply came, 64 for a\n"
        "usage error; check mode: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n");
}

void PrintSubcommandHelp(std::FILE* out, const Subcommand& command) {
    std::fprintf(out, "Usage: qdxctl [options] %s%s%s\n\n%s\n", command.name,
                 command.synopsis[0] ? " " : "", command.synopsis, command.help);
    if (!command.options.empty()) {
        std::fprintf(out, "\nOptions of %s:\n", command.name);
        PrintOptionTable(out, command.options);
    }
    std::fprintf(out, "\nqdxctl's general options (qdxctl --help) are taken here as well.\n");
}
