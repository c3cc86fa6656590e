# Writes the installed configuration to standard output: the header file, then the sample with the
# value of every key named in the values file replaced. A key that the sample lacks is an error,
# so the two cannot drift apart unnoticed.
#
#   awk -f installed-config.awk VALUES HEADER SAMPLE > qdx.cfg
#
# VALUES holds one "key=value" line per setting to replace.
FILENAME == ARGV[1] {
    key = substr($0, 1, index($0, "=") - 1)
    if (key != "") { value[key] = $0; order[++count] = key }
    next
}
FILENAME == ARGV[2] { print; next }
{
    key = substr($0, 1, index($0, "=") - 1)
    if (key in value) { print value[key]; seen[key] = 1; next }
    print
}
END {
    for (i = 1; i <= count; i++)
        if (!(order[i] in seen)) {
            printf "%s has no line '%s=': the installed configuration cannot set it\n",
                   ARGV[3], order[i] > "/dev/stderr"
            exit 1
        }
}
