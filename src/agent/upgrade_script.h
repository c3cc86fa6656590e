// The shell script that puts a received executable in place of the agent's own, starts it with the
// agent's arguments and, when it does not come up, puts the previous executable back and starts
// that. The accept loop runs it with /bin/sh in place of the agent, so it keeps the agent's process
// id.
#pragma once

#include <vector>

#include "foundation/string.h"

// `text` between single quotes for /bin/sh; a quote inside becomes '\''.
String ShellQuoted(const String& text);

// How long the new executable has to listen before the previous one is put back, in seconds.
constexpr int kUpgradeListenSeconds = 30;

// The environment variable through which the script tells the previous executable, started again,
// why the new one was rolled back; the agent logs it and removes it from its environment.
constexpr const char* kRolledBackVariable = "QDX_UPGRADE_ROLLED_BACK";

// The environment variable through which the script gives the new executable the process id of
// what waits for it (the watcher in interactive mode, the script itself in daemon mode): once the
// agent listens it stops that wait, so that an agent stopped right after an upgrade (a package
// upgrade that stops the service, a Ctrl-C) is not taken for one that failed and rolled back.
constexpr const char* kUpgradeWatcherVariable = "QDX_UPGRADE_WATCHER";

// The script, run as "/bin/sh <script> <port> <pidfile> <agent arguments>":
//
// 1. Installs: copies the new executable to "<qdxpath>.New" with permission bits `mode` (octal),
//    keeps the old one as "<qdxpath>.Old" (a hard link, or a copy) and renames ".New" over
//    "qdxpath", so "qdxpath" names a whole executable, the old or the new, at every moment. Deletes
//    `executable` and itself. When a step fails, the old executable stays and is started with
//    `exec` in the script's process: nothing more is checked.
// 2. Starts the new executable and waits up to kUpgradeListenSeconds for it to be up: its process
//    owns a socket listening on <port> (platform/upgrade_checks.h).
//    - Interactive mode (the first agent argument is "-i"): a watcher process is started, then the
//      new executable replaces the script, so it keeps the process id. The watcher takes it for up
//      when it is seen listening twice, a second apart (an agent's trial of its port at start-up
//      listens for an instant only) or when the new agent, listening, stops it (an agent that
//      knows kUpgradeWatcherVariable does so at once), and rolls back when that process ends or is not up in time.
//    - Daemon mode: the script runs the new executable as its child, which forks its daemon and
//      ends; the script ends (status 0) only once the daemon named in <pidfile> (any process, when
//      there is no PID file) is up. Otherwise it stops what the new executable started and rolls
//      back in its own process; SIGUSR1 from the new daemon, listening, ends it at once (status 0). A service manager that takes this process for the service's main
//      process thus never sees it end before the PID file names a daemon that listens.
// 3. Rolls back: the failed executable is kept as "<qdxpath>.Failed" (replacing an older one),
//    "<qdxpath>.Old" is put back in place (".Old" stays), and it is started with `exec` and the
//    agent's arguments, with the reason in kRolledBackVariable.
String UpgradeScriptText(const String& qdxpath, const String& executable, const String& script,
                         unsigned mode);

// The argument vector that runs `script` with /bin/sh, the port the new executable is to listen
// on, the PID file path (may be empty) and the agent's own arguments (agentArgv without its first
// entry, null-terminated). The pointers refer into `script`, `port`, `pidfile` (all made
// NUL-terminated) and agentArgv.
std::vector<char*> UpgradeScriptArgv(String& script, String& port, String& pidfile,
                                     char** agentArgv);

// The interpreter of the upgrade script.
constexpr const char* kUpgradeShell = "/bin/sh";
