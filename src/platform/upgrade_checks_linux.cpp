#if defined(__linux__)

#include "platform/upgrade_checks.h"

const char* UpgradeShellChecks() {
    return "qdx_listens() {\n"
           "  inodes=$(awk -v port=\"$(printf '%04X' \"$2\")\" '$4 == \"0A\" {\n"
           "      n = split($2, addr, \":\"); if (addr[n] == port) print $10 }' \\\n"
           "    /proc/net/tcp /proc/net/tcp6 2>/dev/null)\n"
           "  [ -n \"$inodes\" ] || return 1\n"
           "  [ -n \"$1\" ] || return 0\n"
           "  links=$(ls -l \"/proc/$1/fd\" 2>/dev/null) || return 1\n"
           "  for inode in $inodes; do\n"
           "    case $links in *\"socket:[$inode]\"*) return 0;; esac\n"
           "  done\n"
           "  return 1\n"
           "}\n"
           "qdx_running() {\n"
           "  [ -n \"$1\" ] || return 1\n"
           "  { read -r stat < \"/proc/$1/stat\"; } 2>/dev/null || return 1\n"
           "  state=${stat##*) }\n"
           "  case $state in Z*|X*) return 1;; esac\n"
           "  return 0\n"
           "}\n";
}

#endif
