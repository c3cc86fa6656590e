// The exporter's modules file (YAML): the password file and target allow-list shared by every
// module, and the modules, each one read-only request to an agent with its parameters. Checked
// whole when it is read: a module with an unknown or a forbidden command, a parameter the
// command does not take, a value it does not return, or an unreadable password file is refused
// with the reason, before the exporter serves anything.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "client/catalog.h"
#include "client/request_params.h"
#include "exporter_targets.h"
#include "net/tls.h"

struct ExporterModule {
    std::string name;
    const CommandSpec* spec = nullptr;
    std::vector<NamedParam> params;  // as the file names them
    std::vector<std::string> lines;  // the request's parameter lines built from them
    std::string password;            // read from the module's password file, else the global one
    TargetList targets;              // the module's own list; empty: the global one
    std::vector<std::string> values; // the values to export; empty: every numeric one
    std::vector<std::string> labels; // text values exported as labels of the module's info series
    int port = 0;                    // the agent's port when a target names none (0: required);
                                     // for a TLS module, its tls_port when set
    // TLS to the agents' TLS port, made once when the file is read; each probe checks the
    // certificate against its own target. Null: the plain port.
    TlsContextPtr tls;
    bool tlsUnchecked = false;  // tls_insecure_skip_verify: certificates not checked
};

struct ExporterConfig {
    std::string password;  // the global password file's first line
    TargetList targets;
    int port = 0;
    int maxProbes = 16;             // probes at once; further ones are refused at once
    double timeoutSeconds = 10;     // longest probe when the scraper does not say
    std::map<std::string, ExporterModule> modules;
};

// The commands a module may send: the tests (TEST-...) and GetInfo; never an action, a settings
// or management command, or an upgrade.
bool ReadOnlyCommand(const std::string& command);

// Reads and checks the file at `path`. False with the reason (naming the key at fault).
bool LoadExporterConfig(const std::string& path, ExporterConfig& config, std::string& error);
// The same for the file's text (`source` names it in reasons); password files are read by path.
bool ParseExporterConfig(const std::string& text, const std::string& source,
                         ExporterConfig& config, std::string& error);
