#if defined(__linux__)

#include "platform/upgrade_checks.h"

const char* UpgradeShellChecks() {
    // A system without IPv6 has no /proc/net/tcp6: only the tables there are read.
    return "qdx_listens() {\n"
           "  tables=\n"
           "  for table in /proc/net/tcp /proc/net/tcp6; do\n"
           "    [ -r \"$table\" ] && tables=\"$tables $table\"\n"
           "  done\n"
           "  [ -n \"$tables\" ] || return 1\n"
           "  inodes=$(awk -v port=\"$(printf '%04X' \"$2\")\" '$4 == \"0A\" {\n"
           "      n = split($2, addr, \":\"); if (addr[n] == port) print $10 }' $tables)\n"
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
