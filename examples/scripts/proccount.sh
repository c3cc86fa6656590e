#!/bin/sh
# Process count for qdx ("proccntscript"): prints how many processes have the given name.
#
#   proccount.sh NAME
#
# The agent hands over the process name of the request exactly, blanks, tabs and all, in the
# environment variable QDX_PROCESS_NAME; it also passes the name as arguments, split into words, for
# scripts that read only those. This script takes the variable when it is set and otherwise joins
# its arguments with single blanks (so a name typed by hand works too).
#
# A process counts when its command name equals NAME byte for byte. The kernel keeps only the first
# 15 (Linux) or 19 (FreeBSD) bytes of a command name, so a longer NAME also matches a command name
# that is its beginning and at least 15 bytes long. On Linux the command names are read from
# /proc/<pid>/comm, where they stand exactly; elsewhere from ps. This script and the programs it
# runs are not counted.
LC_ALL=C
export LC_ALL
if [ -n "${QDX_PROCESS_NAME-}" ]; then
    name=$QDX_PROCESS_NAME
else
    name="$*"
fi
if [ -z "$name" ]; then
    echo "usage: $0 NAME" >&2
    exit 2
fi
QDX_COUNT_NAME=$name
QDX_COUNT_SELF=$$
export QDX_COUNT_NAME QDX_COUNT_SELF

# The name reaches awk through the environment: -v would turn its backslashes into escapes.
if [ -r /proc/self/comm ]; then
    # One /proc entry per line; each process's name from its comm file (the name and an LF), its
    # parent from its stat line, after the last ")" that closes the name.
    printf '%s\n' /proc/[0-9]* | awk '
        BEGIN { name = ENVIRON["QDX_COUNT_NAME"]; self = ENVIRON["QDX_COUNT_SELF"] }
        {
            dir = $0
            pid = substr(dir, 7)
            comm = ""
            if ((getline comm < (dir "/comm")) <= 0) { close(dir "/comm"); next }
            close(dir "/comm")
            stat = ""
            if ((getline stat < (dir "/stat")) <= 0) { close(dir "/stat"); next }
            close(dir "/stat")
            sub(/.*\) /, "", stat)
            split(stat, field, " ")
            if (pid == self || field[2] == self) next
            if (comm == name || (length(comm) >= 15 && index(name, comm) == 1)) count++
        }
        END { print count + 0 }'
    exit
fi
ps -A -o pid= -o ppid= -o comm= | awk '
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
