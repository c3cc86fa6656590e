#if defined(__FreeBSD__)

#include "platform/upgrade_checks.h"

const char* UpgradeShellChecks() {
    // sockstat -q prints no header; its columns are USER COMMAND PID FD PROTO LOCAL FOREIGN.
    return "qdx_listens() {\n"
           "  sockstat -46 -l -q -P tcp -p \"$2\" 2>/dev/null |\n"
           "    awk -v pid=\"$1\" 'pid == \"\" || $3 == pid { found = 1 } END { exit !found }'\n"
           "}\n"
           "qdx_running() {\n"
           "  [ -n \"$1\" ] || return 1\n"
           "  state=$(ps -o state= -p \"$1\" 2>/dev/null) || return 1\n"
           "  case $state in Z*|'') return 1;; esac\n"
           "  return 0\n"
           "}\n";
}

#endif
