// The shell script that puts a received executable in place of the agent's own and starts it
// with the agent's arguments. The accept loop runs it with /bin/sh in place of the agent.
#pragma once

#include <vector>

#include "foundation/string.h"

// `text` between single quotes for /bin/sh; a quote inside becomes '\''.
String ShellQuoted(const String& text);

// The script, one LF-ended line each:
//
//   #! /bin/sh
//   oldQDX='<qdxpath>'
//   newQDX='<executable>'
//   rm -f "$oldQDX.New"
//   if cp "$newQDX" "$oldQDX.New" && chmod <mode> "$oldQDX.New" &&
//     { [ ! -f "$oldQDX" ] || ln -f "$oldQDX" "$oldQDX.Old" || cp -p "$oldQDX" "$oldQDX.Old"; } &&
//     mv -f "$oldQDX.New" "$oldQDX"
//   then
//     echo "Upgrade done, previous executable kept as $oldQDX.Old"
//   else
//     echo "Upgrade failed, previous executable kept"
//     rm -f "$oldQDX.New"
//   fi
//   rm -f "$newQDX"
//   rm -f '<script>'
//   exec "$oldQDX" "$@"
//
// The new executable is staged beside the old one and renamed over it in one step, after the old
// one has been kept as "<qdxpath>.Old": whatever fails on the way (a full disk, say), "qdxpath"
// still names a whole executable, the old or the new, and it is started. `mode` is the permission
// bits the installed executable gets, in octal. The script removes itself before the exec, which
// keeps the agent's process id.
String UpgradeScriptText(const String& qdxpath, const String& executable, const String& script,
                         unsigned mode);

// The argument vector that runs `script` with /bin/sh and the agent's own arguments (agentArgv
// without its first entry, null-terminated) as the script's positional parameters. The pointers
// refer into `script` (made NUL-terminated) and agentArgv.
std::vector<char*> UpgradeScriptArgv(String& script, char** agentArgv);

// The interpreter of the upgrade script.
constexpr const char* kUpgradeShell = "/bin/sh";
