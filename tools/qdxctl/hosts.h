// Many hosts at once: "--hosts FILE" sends the same request to every host:port line of FILE,
// at most "--parallel N" at a time, and prints one line per host in the file's order (one JSON
// object per line with --json), then a summary on standard error.
#pragma once

#include <string>
#include <vector>

#include "check.h"
#include "client/host_list.h"
#include "client/multi_call.h"
#include "options.h"
#include "request_words.h"


// The list of options.hostsFile ("-" for standard input), or exit 64 with the reason.
std::vector<HostLine> LoadHostList(const Options& options);

// "HOST:PORT" of a line.
std::string HostLabel(const HostLine& host);
// The endpoint of `host`: options' password and time-out, the line's host and port.
QdxEndpoint HostEndpoint(const Options& options, const HostLine& host);

// Runs `request` (or the check, when `check` is given) against every host of options.hostsFile.
// Returns the highest exit status of all hosts, or 130 after Ctrl-C.
int RunHosts(const Options& options, const Request& request, const CheckOptions* check);

// Asks every host that `asked` selects (all when empty) once, and returns the replies by host
// (duplicates and hosts not asked keep a default reply). `password` and `port` (0: each host's
// own) replace the options' ones. For small replies only: all are held at once.
std::vector<QdxReplyText> CallHosts(const Options& options, const std::vector<HostLine>& hosts,
                                    const std::string& command,
                                    const std::vector<std::string>& lines,
                                    const std::string& password, int port,
                                    const std::vector<bool>& asked = {});

// The connections --hosts may hold at once: --parallel, within what the descriptor limit leaves
// after a small reserve.
int HostsParallel(const Options& options);
