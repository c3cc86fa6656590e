#!/bin/sh
# Process list for qdx ("proclistscript"): prints the command name of every process, one per
# line, in process-ID order. Works with the ps of Linux (procps) and FreeBSD.
LC_ALL=C
export LC_ALL
ps -A -o pid= -o comm= | sort -n | awk '{ sub(/^[ \t]*[0-9]+[ \t]+/, ""); print }'
