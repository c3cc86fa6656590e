#!/bin/sh
# CPU usage for qdx ("cpuusagescript"): prints the share of time all CPUs were busy, in percent
# with one decimal, measured over a short interval (not since boot).
#
#   cpuusage.sh [SECONDS]      (default 0.5)
#
# Linux reads the "cpu" line of /proc/stat, FreeBSD the kern.cp_time counters; both are sampled
# twice and the busy share of the ticks between the samples is printed.
LC_ALL=C
export LC_ALL
interval=${1:-0.5}

case $(uname -s) in
Linux)
    # user nice system idle iowait irq softirq steal (guest time is inside user and nice)
    sample() { awk '$1 == "cpu" { print $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9, $5 + $6; exit }' /proc/stat; }
    ;;
FreeBSD)
    # user nice system interrupt idle
    sample() { sysctl -n kern.cp_time | awk '{ print $1 + $2 + $3 + $4 + $5, $5 }'; }
    ;;
*)
    echo "cpuusage.sh: unsupported system $(uname -s)" >&2
    exit 1
    ;;
esac

first=$(sample) || exit 1
sleep "$interval" || exit 1
second=$(sample) || exit 1
echo "$first $second" | awk '{
    total = $3 - $1; idle = $4 - $2
    if (total <= 0) { print "0.0"; exit }
    usage = 100 * (total - idle) / total
    if (usage < 0) usage = 0
    if (usage > 100) usage = 100
    printf "%.1f\n", usage
}'
