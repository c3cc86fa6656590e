#include "agent/upgrade_script.h"

#include <cstdio>

#include "platform/upgrade_checks.h"

namespace {

// Installs, or starts the old executable again when installing fails.
constexpr const char* kInstall = R"script(rm -f "$oldQDX.New"
if cp "$newQDX" "$oldQDX.New" && chmod @MODE@ "$oldQDX.New" &&
  { [ ! -f "$oldQDX" ] || ln -f "$oldQDX" "$oldQDX.Old" || cp -p "$oldQDX" "$oldQDX.Old"; } &&
  mv -f "$oldQDX.New" "$oldQDX"
then
  echo "Upgrade done, previous executable kept as $oldQDX.Old"
else
  echo "Upgrade failed, previous executable kept"
  rm -f "$oldQDX.New"
  rm -f "$newQDX" "$script"
  exec "$oldQDX" "$@"
fi
rm -f "$newQDX" "$script"
)script";

// The roll-back and the wait for the new executable, in both modes.
constexpr const char* kStart = R"script(qdx_roll_back() {
  reason=$1
  shift
  echo "Upgrade rolled back: $reason"
  rm -f "$oldQDX.Failed"
  ln -f "$oldQDX" "$oldQDX.Failed" 2>/dev/null || cp -p "$oldQDX" "$oldQDX.Failed"
  rm -f "$oldQDX.New"
  if ln -f "$oldQDX.Old" "$oldQDX.New" 2>/dev/null || cp -p "$oldQDX.Old" "$oldQDX.New"; then
    mv -f "$oldQDX.New" "$oldQDX"
  fi
  @ROLLED_BACK@=$reason
  export @ROLLED_BACK@
  unset @WATCHER@
  exec "$oldQDX" "$@"
}
qdx_stop() {
  qdx_running "$1" || return 0
  kill -TERM "$1" 2>/dev/null
  tries=2
  while qdx_running "$1" && [ $tries -gt 0 ]; do sleep 1; tries=$((tries - 1)); done
  kill -KILL "$1" 2>/dev/null
  return 0
}
qdx_daemon() {
  daemon=
  [ -z "$pidfile" ] || { read -r daemon < "$pidfile"; } 2>/dev/null
}
qdx_up() {
  if [ -z "$pidfile" ]; then qdx_listens "" "$port"; return; fi
  qdx_daemon
  [ -n "$daemon" ] && [ "$daemon" != "$$" ] && qdx_listens "$daemon" "$port"
}
late="the new executable did not listen within @SECONDS@ s"
if [ "$1" = -i ]; then
  agent=$$
  (
    waited=0
    seen=0
    while :; do
      if qdx_listens "$agent" "$port"; then
        [ $seen = 0 ] || exit 0
        seen=1
      else
        seen=0
        qdx_running "$agent" ||
          qdx_roll_back "the new executable ended without listening" "$@"
        if [ $waited -ge @SECONDS@ ]; then
          qdx_stop "$agent"
          qdx_roll_back "$late" "$@"
        fi
      fi
      sleep 1
      waited=$((waited + 1))
    done
  ) &
  @WATCHER@=$!
  export @WATCHER@
  exec "$oldQDX" "$@"
fi
qdx_daemon
before=$daemon
trap 'exit 0' USR1
@WATCHER@=$$
export @WATCHER@
"$oldQDX" "$@" &
starter=$!
waited=0
while ! qdx_up; do
  if ! qdx_running "$starter"; then
    wait "$starter"
    status=$?
    qdx_up && exit 0
    reason="the new executable exited with status $status"
  elif [ $waited -ge @SECONDS@ ]; then
    qdx_stop "$starter"
    reason=$late
  else
    sleep 1
    waited=$((waited + 1))
    continue
  fi
  qdx_daemon
  [ -z "$daemon" ] || [ "$daemon" = "$$" ] || [ "$daemon" = "$before" ] || qdx_stop "$daemon"
  qdx_roll_back "$reason" "$@"
done
exit 0
)script";

String Replaced(const char* text, const char* name, const char* value) {
    return String(text).ReplaceAll(name, value, 1);
}

}  // namespace

String ShellQuoted(const String& text) {
    String quoted("'");
    for (int i = 1; i <= text.Length(); i++) {
        if (text[i] == '\'')
            quoted += "'\\''";
        else
            quoted += text[i];
    }
    return quoted + "'";
}

String UpgradeScriptText(const String& qdxpath, const String& executable, const String& script,
                         unsigned mode) {
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", mode & 07777);
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%d", kUpgradeListenSeconds);
    String text("#! /bin/sh\n");
    text += String("oldQDX=") + ShellQuoted(qdxpath) + "\n";
    text += String("newQDX=") + ShellQuoted(executable) + "\n";
    text += String("script=") + ShellQuoted(script) + "\n";
    text += "port=$1\npidfile=$2\nshift 2\n";
    text += UpgradeShellChecks();
    text += Replaced(kInstall, "@MODE@", octal);
    text +=
        Replaced(kStart, "@SECONDS@", seconds).ReplaceAll("@ROLLED_BACK@", kRolledBackVariable, 1)
            .ReplaceAll("@WATCHER@", kUpgradeWatcherVariable, 1);
    return text;
}

std::vector<char*> UpgradeScriptArgv(String& script, String& port, String& pidfile,
                                     char** agentArgv) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kUpgradeShell));
    argv.push_back(script.SetZero().Data());
    argv.push_back(port.SetZero().Data());
    // An empty String may have no buffer at all.
    argv.push_back(pidfile.Length() > 0 ? pidfile.SetZero().Data() : const_cast<char*>(""));
    for (int i = 1; agentArgv != nullptr && agentArgv[0] != nullptr && agentArgv[i] != nullptr; i++)
        argv.push_back(agentArgv[i]);
    argv.push_back(nullptr);
    return argv;
}
