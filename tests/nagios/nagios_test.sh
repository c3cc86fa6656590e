#!/usr/bin/env bash
# qdxctl check inside a real monitoring engine: Nagios Core 4 with a minimal configuration in a
# scratch folder, one host and services that call qdxctl against a test agent on loopback (OK,
# WARNING, CRITICAL), a Debian monitoring plugin run through the agent as a script and as a
# program, TEST-UNC's derived percentage, and a closed port (UNKNOWN, or CRITICAL with
# --unreachable). Passes when the engine's status file shows each service in its expected state
# with the performance data parsed.
#
#   nagios_test.sh QDX_BINARY QDXCTL_BINARY
set -euo pipefail
qdx=$(readlink -f "$1")
qdxctl=$(readlink -f "$2")
engine=${NAGIOS_BINARY:-/usr/sbin/nagios4}
[ -x "$engine" ] || { echo "no $engine (scripts/install-deps installs nagios4-core)"; exit 1; }

scratch=$(mktemp -d /tmp/qdx-nagios-XXXXXX)
agent_pid=""
engine_pid=""
cleanup() {
    [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null || true
    [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# The engine drops root for its own user; as anyone else it stays who it is.
if [ "$(id -u)" -eq 0 ]; then
    user=nagios
    group=nagios
else
    user=$(id -un)
    group=$(id -gn)
fi

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)
closed_port=$(free_port)

# The agent's configuration has a folder of its own: checks may not look into that folder.
mkdir -p "$scratch/data" "$scratch/checkresults" "$scratch/agent"
touch "$scratch/data/a" "$scratch/data/b" "$scratch/data/c"
printf 'nagios-test-password\n' > "$scratch/password"
cat > "$scratch/agent/qdx.cfg" <<CFG
qdxpath=$qdx
host=127.0.0.1
port=$port
password=nagios-test-password
tmpdir=$scratch
CFG
"$qdx" -i "$scratch/agent/qdx.cfg" > "$scratch/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 1 100); do
    grep -q 'Listening' "$scratch/agent.out" && break
    sleep 0.1
done
grep -q 'Listening' "$scratch/agent.out" || { cat "$scratch/agent.out"; exit 1; }

check="$qdxctl -t 3000 -f $scratch/password -p $port check"
plugins=/usr/lib/nagios/plugins
[ -x $plugins/check_dummy ] || { echo "no $plugins (scripts/install-deps installs monitoring-plugins-basic)"; exit 1; }
count_files="TEST-CountFiles --path $scratch/data --mask '*'"
cat > "$scratch/objects.cfg" <<CFG
define timeperiod {
    timeperiod_name always
    alias           always
    sunday          00:00-24:00
    monday          00:00-24:00
    tuesday         00:00-24:00
    wednesday       00:00-24:00
    thursday        00:00-24:00
    friday          00:00-24:00
    saturday        00:00-24:00
}
define contact {
    contact_name                  nobody
    host_notifications_enabled    0
    service_notifications_enabled 0
    host_notification_period      always
    service_notification_period   always
    host_notification_options     n
    service_notification_options  n
    host_notification_commands    do_nothing
    service_notification_commands do_nothing
}
define command {
    command_name do_nothing
    command_line /bin/true
}
define command {
    command_name qdx_ok
    command_line $check -w 10 -c 20 $count_files
}
define command {
    command_name qdx_warning
    command_line $check -w 2 -c 10 $count_files
}
define command {
    command_name qdx_critical
    command_line $check -w 1 -c 2 $count_files
}
define command {
    command_name qdx_closed
    command_line $qdxctl -t 3000 -f $scratch/password -p $closed_port check TEST-UNC --path /
}
define command {
    command_name qdx_down
    command_line $qdxctl -t 3000 -f $scratch/password -p $closed_port check --unreachable critical TEST-UNC /
}
define command {
    command_name qdx_script
    command_line $check TEST-ShellScript --script '$plugins/check_dummy 1 plugin says so\\; echo scriptres:\$\$?'
}
define command {
    command_name qdx_program
    command_line $check TEST-ExternalPrg '$plugins/check_dummy 2 program'
}
define command {
    command_name qdx_space
    command_line $check -c 0: --value available_percent TEST-UNC /
}
define host {
    host_name             qdxhost
    address               127.0.0.1
    check_command         do_nothing
    max_check_attempts    1
    check_period          always
    notification_interval 0
    notification_period   always
    contacts              nobody
}
CFG
for state in ok warning critical closed down script program space; do
    cat >> "$scratch/objects.cfg" <<CFG
define service {
    host_name             qdxhost
    service_description   qdx_$state
    check_command         qdx_$state
    max_check_attempts    1
    check_interval        1
    retry_interval        1
    check_period          always
    notification_interval 0
    notification_period   always
    contacts              nobody
}
CFG
done
cat > "$scratch/nagios.cfg" <<CFG
log_file=$scratch/nagios.log
cfg_file=$scratch/objects.cfg
object_cache_file=$scratch/objects.cache
precached_object_file=$scratch/objects.precache
status_file=$scratch/status.dat
status_update_interval=1
nagios_user=$user
nagios_group=$group
check_external_commands=1
command_file=$scratch/nagios.cmd
lock_file=$scratch/nagios.pid
temp_file=$scratch/nagios.tmp
temp_path=$scratch
check_result_path=$scratch/checkresults
query_socket=$scratch/nagios.qh
retain_state_information=0
state_retention_file=$scratch/retention.dat
interval_length=1
max_service_check_spread=1
max_host_check_spread=1
service_inter_check_delay_method=n
host_inter_check_delay_method=n
check_result_reaper_frequency=1
enable_notifications=0
enable_flap_detection=0
log_rotation_method=n
use_syslog=0
check_for_updates=0
bare_update_check=0
CFG
chmod 755 "$scratch" "$scratch/data"
chmod 644 "$scratch"/*.cfg "$scratch/agent/qdx.cfg" "$scratch/password"
chown -R "$user:$group" "$scratch"
chown "$(id -u)" "$scratch/agent/qdx.cfg"

"$engine" -v "$scratch/nagios.cfg" > "$scratch/verify.out" 2>&1 || { cat "$scratch/verify.out"; exit 1; }
"$engine" -d "$scratch/nagios.cfg"
for _ in $(seq 1 50); do
    [ -s "$scratch/nagios.pid" ] && break
    sleep 0.1
done
engine_pid=$(cat "$scratch/nagios.pid")

# Every service checked once, or give up after 60 s.
checked() { grep -c 'has_been_checked=1' "$scratch/status.dat" 2>/dev/null || true; }
for _ in $(seq 1 120); do
    [ -f "$scratch/status.dat" ] && [ "$(checked)" -ge 9 ] && break
    sleep 0.5
done

# service name, current_state, performance_data of every service block
awk -F= '/^servicestatus/ { svc = ""; state = ""; perf = "" }
    /^\tservice_description=/ { svc = $2 }
    /^\tcurrent_state=/ { state = $2 }
    /^\tperformance_data=/ { sub(/^[^=]*=/, ""); perf = $0 }
    /^\t}/ && svc != "" { print svc "|" state "|" perf; svc = "" }' "$scratch/status.dat" \
    > "$scratch/states"
failed=0
expect() {  # service, state, part of the performance data
    local line
    line=$(grep "^$1|" "$scratch/states" || true)
    if [ "$(echo "$line" | cut -d'|' -f2)" != "$2" ] || [[ $line != *"$3"* ]]; then
        echo "FAIL $1: expected state $2 with '$3', got '$line'"
        failed=1
    else
        echo "ok   $1: $line"
    fi
}
expect qdx_ok 0 "count=3;10;20;;"
expect qdx_warning 1 "count=3;2;10;;"
expect qdx_critical 2 "count=3;1;2;;"
expect qdx_closed 3 ""
expect qdx_down 2 ""
expect qdx_script 1 ""
expect qdx_program 2 "exit_code=2;;;;"
expect qdx_space 0 "available_percent="
if [ "$failed" -ne 0 ]; then
    cat "$scratch/nagios.log"
    exit 1
fi
echo "1 passed, 0 failed"
