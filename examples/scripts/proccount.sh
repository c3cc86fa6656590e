#!/bin/sh
# Process count for qdx ("proccntscript"): prints how many processes have the given name.
#
#   proccount.sh NAME
#
# The agent passes the process name of the request as the arguments (a name with blanks arrives
# as several words, joined again here). A process counts when its command name equals NAME; the
# kernel keeps only the first 15 (Linux) or 19 (FreeBSD) bytes of a command name, so a longer
# NAME also matches a command name that is its beginning and at least 15 bytes long. This script
# and the ps and awk it runs are not counted. Works with the ps of Linux (procps) and FreeBSD.
LC_ALL=C
export LC_ALL
name="$*"
if [ -z "$name" ]; then
    echo "usage: $0 NAME" >&2
    exit 2
fi
# The name reaches awk through the environment: -v would turn its backslashes into escapes.
ps -A -o pid= -o ppid= -o comm= | QDX_COUNT_NAME=$name QDX_COUNT_SELF=$$ awk '
    BEGIN { name = ENVIRON["QDX_COUNT_NAME"]; self = ENVIRON["QDX_COUNT_SELF"] }
    {
        pid = $1; ppid = $2
        comm = $0
        sub(/^[ \t]*[0-9]+[ \t]+[0-9]+[ \t]+/, "", comm)
        sub(/[ \t]+$/, "", comm)
        if (pid == self || ppid == self) next
        if (comm == name || (length(comm) >= 15 && index(name, comm) == 1)) count++
    }
    END { print count + 0 }'
