// Many hosts at once: "--hosts FILE" sends the same request to every host:port line of FILE,
// at most "--parallel N" at a time, and prints one line per host in the file's order, then a
// summary on standard error.
#pragma once

#include <string>
#include <vector>

#include "check.h"
#include "client/multi_call.h"
#include "options.h"
#include "request_words.h"

struct HostLine {
    CallTarget target;
    int lineNumber = 0;
    int duplicateOf = 0;  // the line number of the same host:port met first, or 0
};

// Reads a hosts list: one host[:port] a line, "#" starts a comment, blank lines are skipped;
// `defaultPort` (0: none) serves lines without a port. False with the reason in `error`.
bool ParseHostList(const std::string& text, int defaultPort, std::vector<HostLine>& hosts,
                   std::string& error);

// Runs `request` (or the check, when `check` is given) against every host of options.hostsFile.
// Returns the highest exit status of all hosts, or 130 after Ctrl-C.
int RunHosts(const Options& options, const Request& request, const CheckOptions* check);

// "upgrade FILE" on every host, a few at a time, with one progress line per step and host.
int UpgradeHosts(const Options& options, const std::string& file, int waitSeconds);

// The list of options.hostsFile ("-" for standard input), or exit 64 with the reason.
std::vector<HostLine> LoadHostList(const Options& options);
