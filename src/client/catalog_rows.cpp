// The rows of the command catalog. Parameter positions are the agent's wire positions; gaps are
// lines the agent does not read. Defaults are what the named form sends for a parameter that is
// not given: mostly the empty line, which the agent reads as 0, false or "not given".
#include "client/catalog.h"
#include "client/reply_values.h"

namespace {

using K = ParamKind;
using V = ValueKind;

// ---- File and folder tests

const ParamSpec kUncParams[] = {
    {"path", 1, K::Text, "a file or folder on the file system to measure", ""},
};
const ValueSpec kUncValues[] = {
    {"total_bytes", V::Integer, "B", "size of the file system", nullptr, nullptr, "total_bytes"},
    {"free_bytes", V::Integer, "B", "free space, the space reserved for root included", nullptr,
     nullptr, "total_bytes"},
    {"available_bytes", V::Integer, "B",
     "space available to unprivileged users, what df shows as available (negative when root "
     "has used up its reserve)",
     nullptr, nullptr, "total_bytes"},
};
const ValueSpec kUncDerived[] = {
    {"used_percent", V::Real, "%",
     "used / (used + available), used = total - free: df's Use% (above 100 when available is "
     "negative; U when used + available is not above 0)"},
    {"available_percent", V::Real, "%",
     "available / (used + available) (negative when available is; U as above)"},
    {"free_percent", V::Real, "%", "free / total, root's reserve included (U when total is 0)"},
};

const ParamSpec kFolderSizeParams[] = {
    {"path", 1, K::Text, "folder, or a wildcard pattern in the last component, or a file", ""},
    {"subfolders", 2, K::Flag, "include subfolders", "0"},
    {"macros", 8, K::Flag, "resolve %newestfile%, %oldestfolder% ... in path", "0"},
};
const ValueSpec kFolderSizeValues[] = {
    {"size_bytes", V::Integer, "B", "bytes of the matching files"},
};

const ParamSpec kFileExistsParams[] = {
    {"path", 1, K::Text, "file name; the last component may hold wildcards", ""},
    {"macros", 7, K::Flag, "resolve %newestfile%, %oldestfolder% ... in path", "0"},
};
const ValueSpec kFileExistsValues[] = {
    {"size_bytes", V::Integer, "B", "size of the file"},
    {"changed_time", V::Time, "", "status-change time"},
    {"modified_time", V::Time, "", "modification time"},
    {"examined_path", V::Text, "", "the file actually examined"},
    {"age_unit", V::Text, "", "the unit of age_minutes, always \"min\""},
    {"age_minutes", V::Integer, "min", "minutes since the last modification"},
};

// The macro switches of TEST-FileCompare sit where the mode puts them.
const ParamMove kCompareMacros[] = {{"mode", "2", 9}, {"mode", "3", 11}};
const ParamWhen kModeCompare[] = {{"mode", "1"}};
const ParamWhen kModeText[] = {{"mode", "3"}};
const ParamSpec kFileCompareParams[] = {
    {"mode", 1, K::Number,
     "1 compare two files, 2 find path2's content in path, 3 find a text in path", "1"},
    {"path", 2, K::Text, "the first file", ""},
    {"path2", 3, K::Text, "the second file (modes 1, 2) or the text to find (mode 3)", ""},
    {"compare_times", 4, K::Flag, "mode 1: compare modification times", "0", {}, kModeCompare},
    {"compare_sizes", 5, K::Flag, "mode 1: compare sizes", "0", {}, kModeCompare},
    {"compare_contents", 6, K::Flag, "mode 1: compare contents", "0", {}, kModeCompare},
    {"case_sensitive", 4, K::Flag, "mode 3: letter case must match", "0", {}, kModeText},
    {"whole_word", 5, K::Flag, "mode 3: the text must stand as a whole word", "0", {}, kModeText},
    {"macros", 12, K::Flag, "resolve file-name macros in path", "0", kCompareMacros},
    {"macros2", 13, K::Flag, "mode 1: resolve file-name macros in path2", "0", {},
     kModeCompare},
};
const ValueSpec kFileCompareValues[] = {
    {"match", V::Flag, "", "1 equal or found, 0 otherwise"},
};

const ParamSpec kFileCrcParams[] = {
    {"path", 1, K::Text, "the file (no wildcards, no macros)", ""},
};
const ValueSpec kFileCrcValues[] = {
    {"crc", V::Integer, "", "CRC-32 register over the content, not inverted"},
};

const ParamSpec kCountFilesParams[] = {
    {"path", 1, K::Text, "the folder", ""},
    {"mask", 2, K::Text, "wildcard mask the names must match", "*"},
    {"subfolders", 3, K::Flag, "include subfolders", "0"},
    {"mode", 4, K::Number,
     "0 all files, 1 older than, 2 newer than (minutes), 3 bigger than, 4 smaller than (bytes), "
     "5 subfolders",
     "0"},
    {"limit", 5, K::Number, "minutes (modes 1, 2) or bytes (modes 3, 4)", "0"},
    {"macros", 11, K::Flag, "resolve file-name macros in path", "0"},
};
const ValueSpec kCountValues[] = {
    {"count", V::Integer, "", "number of entries that meet the condition"},
};

// ---- Process, CPU and script tests

const ParamSpec kProcessParams[] = {
    {"process", 2, K::Text, "process name, handed to the process-count script", ""},
};
const ValueSpec kProcessValues[] = {
    {"count", V::Integer, "", "number of processes, as the script counts them"},
};
const ValueSpec kCpuValues[] = {
    {"usage_percent", V::Real, "%", "CPU usage printed by the CPU-usage script"},
};
const ValueSpec kProcessListValues[] = {
    {"processes", V::List, "", "the lines printed by the process-list script"},
};

const ParamSpec kExternalParams[] = {
    {"command", 1, K::Text, "command line (split into words without a shell)", ""},
    {"working_folder", 2, K::Text, "working folder; empty keeps the agent's", ""},
    {"timeout_ms", 4, K::Number, "time limit; -1 start only, 0 no limit", "10000"},
};
const ValueSpec kExitCodeValues[] = {
    {"exit_code", V::Integer, "", "the program's exit code"},
};

const ParamSpec kShellScriptParams[] = {
    {"start_command", 1, K::Text, "command line; %script% is the script file, %params% the "
                                  "parameters",
     "/bin/sh %script% %params%"},
    {"script", 2, K::Escaped, "the script text", ""},
    {"script_params", 3, K::Escaped, "parameters put in place of %params%", ""},
    {"timeout_s", 4, K::Number, "time limit in seconds; 0 no limit", "10"},
    {"lines", 5, K::Number, "number of output lines to return", "10"},
};
const ValueSpec kShellScriptValues[] = {
    {"result_line", V::Escaped, "", "the first line beginning with scriptres:, or the last line"},
    {"output", V::List, "", "the first output lines"},
};

const ParamSpec kPluginParams[] = {
    {"name", 1, K::Text, "a plugin the agent's configuration names (plugin.NAME=...)", ""},
    {"args", 2, K::Escaped, "arguments for $ARG1$, $ARG2$, ..., one per line (pluginargs=1)", ""},
    {"timeout_ms", 3, K::Number, "time limit in milliseconds; 0 the default of 10000", "10000"},
};
const ValueSpec kPluginValues[] = {
    {"exit_code", V::Integer, "", "the plugin's exit code (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN)"},
    {"status", V::Escaped, "", "the first output line: status text and performance data"},
    {"long_output", V::List, "", "the further output lines (64 KiB at most)"},
    {"cut", V::Flag, "", "1 when the output was longer and was cut after a whole line"},
};

// ---- Text-log tests

const ParamSpec kTextLogParams[] = {
    {"path", 1, K::Text, "log file; a wildcard in the last component takes the first match", ""},
    {"expression", 2, K::Escaped, "string, or expression when is_expression is 1", "", {}, {},
     "is_expression"},
    {"position", 3, K::Number, "byte position returned by the previous check", "0"},
    {"last_size", 4, K::Number, "last_size returned by the previous check (0: first check)", "0"},
    {"last_time", 5, K::Number, "last_time returned by the previous check", "0"},
    {"is_expression", 6, K::Flag, "expression is a boolean expression of quoted strings", "0"},
    {"scan_to_end", 7, K::Flag, "report the last match instead of the first", "0"},
    {"case_sensitive", 8, K::Flag, "letter case must match", "0"},
    {"whole_word", 9, K::Flag, "strings must stand as whole words", "0"},
};
const ValueSpec kTextLogValues[] = {
    {"match", V::Integer, "", "position of the match plus its offset in the line; 0 no match"},
    {"line", V::Escaped, "", "the matched line (first 1024 bytes)"},
    {"more", V::Flag, "", "1 when another match follows: ask again with the state below"},
    {"position", V::Integer, "", "position to send next time"},
    {"last_size", V::Integer, "B", "last_size to send next time"},
    {"last_time", V::Integer, "", "last_time to send next time (seconds since the epoch)"},
    {"file_size", V::Integer, "B", "current size of the log"},
};

const ParamMove kTextLog2Macros[] = {{"use_filter2", "1", 20}};
const ParamWhen kFilter2[] = {{"use_filter2", "1"}};
const ParamSpec kTextLog2Params[] = {
    {"path", 1, K::Text, "log file; macros (see macros) and a wildcard in the last component", ""},
    {"position", 2, K::Number, "byte position returned by the previous check", "0"},
    {"last_size", 3, K::Number, "last_size returned by the previous check (0: first check)", "0"},
    {"last_time", 4, K::Number, "last_time returned by the previous check", "0"},
    {"scan_to_end", 5, K::Flag, "report the last match instead of the first", "0"},
    {"expression", 6, K::Escaped, "filter 1: string, or expression when is_expression is 1", "",
     {}, {}, "is_expression"},
    {"is_expression", 7, K::Flag, "filter 1: expression is a boolean expression", "0"},
    {"case_sensitive", 8, K::Flag, "filter 1: letter case must match", "0"},
    {"whole_word", 9, K::Flag, "filter 1: strings must stand as whole words", "0"},
    {"use_filter2", 10, K::Flag, "a second filter follows", "0"},
    {"expression2", 11, K::Escaped, "filter 2: string or expression", "", {}, kFilter2,
     "is_expression2"},
    {"is_expression2", 12, K::Flag, "filter 2: expression2 is a boolean expression", "0", {}, kFilter2},
    {"case_sensitive2", 13, K::Flag, "filter 2: letter case must match", "0", {}, kFilter2},
    {"whole_word2", 14, K::Flag, "filter 2: strings must stand as whole words", "0", {}, kFilter2},
    {"macros", 16, K::Flag, "resolve file-name macros in path", "0",
     kTextLog2Macros},
};
const ValueSpec kTextLog2Values[] = {
    {"match", V::Integer, "", "position of the match plus its offset in the line; 0 no match"},
    {"line", V::Escaped, "", "the matched line (first 1024 bytes)"},
    {"more", V::Flag, "", "1 when another match follows: ask again with the state below"},
    {"position", V::Integer, "", "position to send next time"},
    {"last_size", V::Integer, "B", "last_size to send next time"},
    {"last_time", V::Integer, "", "last_time to send next time (seconds since the epoch)"},
    {"file_size", V::Integer, "B", "current size of the log"},
    {"first_filter", V::Flag, "", "1 when filter 1 matched, 0 when filter 2 did"},
    {"searched_path", V::Escaped, "", "the file searched, after macros and wildcard"},
};

// ---- Network tests and actions

const ParamSpec kTcpParams[] = {
    {"host", 1, K::Text, "host name or address", ""},
    {"port", 2, K::Number, "TCP port", ""},
    {"timeout_ms", 3, K::Number, "time-out; 0 means 120000", "10000"},
    {"send", 4, K::Escaped, "bytes to send; may be empty", ""},
    {"receive_bytes", 5, K::Number, "bytes to receive (at most 8192); 0 nothing", "0"},
};
const ParamSpec kUdpParams[] = {
    {"host", 1, K::Text, "host name or address", ""},
    {"port", 2, K::Number, "UDP port", ""},
    {"timeout_ms", 3, K::Number, "time-out per attempt, used in whole seconds (at least 1)",
     "1000"},
    {"attempts", 4, K::Number, "number of attempts (at least 1)", "1"},
    {"send", 5, K::Escaped, "datagram to send; must not be empty", ""},
    {"receive_bytes", 6, K::Number, "bytes to receive (at most 8192); 0 nothing", "0"},
};
const ValueSpec kExchangeValues[] = {
    {"elapsed_ms", V::Integer, "ms", "time taken by the exchange, name resolution included"},
    {"received", V::Escaped, "", "the bytes received"},
};
const ValueSpec kExchangeFailures[] = {
    {"error", V::Text, "", "why the exchange failed"},
    {"error_code", V::Integer, "", "0 time-out, negative for the other failures"},
};

const ParamSpec kExternalCmdParams[] = {
    {"command", 1, K::Text, "command line (split into words without a shell)", ""},
    {"working_folder", 2, K::Text, "working folder; empty keeps the agent's", ""},
    {"unused", 3, K::Number, "not used; must be a number", "0"},
    {"timeout_ms", 4, K::Number, "time limit; -1 start only, 0 no limit", "10000"},
};
const ParamSpec kSyslogParams[] = {
    {"host", 1, K::Text, "syslog server", ""},
    {"port", 2, K::Number, "UDP port", "514"},
    {"facility", 3, K::Number, "syslog facility number", "1"},
    {"severity", 4, K::Number, "severity 0 to 7", "5"},
    {"message", 5, K::Escaped, "message text", ""},
};
const ParamSpec kSendParams[] = {
    {"host", 1, K::Text, "host name or address", ""},
    {"port", 2, K::Number, "port", ""},
    {"protocol", 3, K::Text, "0 TCP, anything else UDP", "0"},
    {"send", 4, K::Escaped, "first data; must not be empty", ""},
    {"delay_s", 5, K::Number, "seconds to wait before the second data", "0"},
    {"send2", 6, K::Escaped, "second data; may be empty", ""},
};

// ---- Information

const ValueSpec kInfoKeys[] = {
    {"agent_name", V::Text, "", "the agent's name", "AgentName"},
    {"agent_platform", V::Text, "", "platform the agent reports", "AgentPlatform"},
    {"agent_version", V::Text, "", "agent version", "AgentVersion"},
    {"agent_developer", V::Text, "", "developer", "AgentDeveloper"},
    {"service", V::Flag, "", "runs as a service", "Service"},
    {"active", V::Flag, "", "active", "Active"},
    {"active_connections", V::Integer, "", "connections being served now", "ActiveConnections"},
    {"opened_connections", V::Integer, "", "connections accepted since the start",
     "OpenedConnections"},
    {"failed_connections", V::Integer, "", "connections refused by the filter",
     "FailedConnections"},
    {"available_tests", V::List, "", "tests the agent offers", "Available tests"},
    {"enabled_tests", V::Text, "", "one 0/1 switch per offered test, in order", "Enabled tests"},
    {"port", V::Integer, "", "listening port", "Port"},
    {"timeout", V::Integer, "ms", "idle time-out of a connection", "Timeout"},
    {"comment", V::Text, "", "the comment setting", "Comment"},
    {"available_actions", V::List, "", "actions the agent offers", "Available actions"},
    {"enabled_actions", V::Text, "", "one 0/1 switch per offered action", "Enabled actions"},
    {"host_name", V::Text, "", "the host's node name", "HostName"},
    {"running_os", V::Text, "", "system name, release and version", "RunningOS"},
    {"os_updates", V::Text, "", "always \"not implemented\"", "OSUpdates"},
};
const ValueSpec kSettingsKeys[] = {
    {"agent_name", V::Text, "", "the agent's name", "AgentName"},
    {"agent_platform", V::Text, "", "platform the agent reports", "AgentPlatform"},
    {"agent_version", V::Text, "", "agent version", "AgentVersion"},
    {"agent_developer", V::Text, "", "developer", "AgentDeveloper"},
    {"service", V::Flag, "", "runs as a service", "Service"},
    {"active", V::Flag, "", "active", "Active"},
    {"active_connections", V::Integer, "", "connections being served now", "ActiveConnections"},
    {"opened_connections", V::Integer, "", "connections accepted since the start",
     "OpenedConnections"},
    {"failed_connections", V::Integer, "", "connections refused by the filter",
     "FailedConnections"},
    {"available_tests", V::List, "", "tests the agent offers", "Available tests"},
    {"enabled_tests", V::Text, "", "one 0/1 switch per offered test, in order", "Enabled tests"},
    {"port", V::Integer, "", "listening port (set Port=)", "Port"},
    {"timeout", V::Integer, "ms", "idle time-out of a connection (set Timeout=)", "Timeout"},
    {"comment", V::Text, "", "the comment setting (set Comment=)", "Comment"},
    {"available_actions", V::List, "", "actions the agent offers", "Available actions"},
    {"enabled_actions", V::Text, "", "one 0/1 switch per offered action", "Enabled actions"},
    {"host_name", V::Text, "", "the host's node name", "HostName"},
    {"running_os", V::Text, "", "system name, release and version", "RunningOS"},
    {"os_updates", V::Text, "", "always \"not implemented\"", "OSUpdates"},
    {"log_ok_conn", V::Flag, "", "log successful connections (set LogOkConn=)", "LogOkConn"},
    {"log_bad_conn", V::Flag, "", "log failed connections (set LogBadConn=)", "LogBadConn"},
    {"ok_log_file", V::Text, "", "success log (set OkLogFile=)", "OkLogFile"},
    {"bad_log_file", V::Text, "", "failure log (set BadLogFile=)", "BadLogFile"},
    {"password", V::Text, "", "the password (set Password=)", "Password"},
    {"ip_filtering", V::Flag, "", "connection filter on (set IPFiltering=)", "IPFiltering"},
    {"ip_filter_addr", V::List, "", "connection filter entries (set IPFilterAddr=)",
     "IPFilterAddr"},
    {"ip_filter_marks", V::Text, "", "which filter entries are active (set IPFilterMarks=)",
     "IPFilterMarks"},
    {"allow_updates", V::Flag, "", "upgrades allowed (set AllowUpdates=)", "AllowUpdates"},
    {"allow_rmanage", V::Flag, "", "remote management allowed (set AllowRManage=)",
     "AllowRManage"},
    {"update_addr", V::Text, "", "addresses with the upgrade right (set UpdateAddr=)",
     "UpdateAddr"},
    {"manage_addr", V::Text, "", "addresses with the management right (set ManageAddr=)",
     "ManageAddr"},
};

const ParamSpec kFilesListParams[] = {
    {"path", 1, K::Text, "folder; empty means /", ""},
    {"mask", 2, K::Text, "wildcard mask for files; empty means *", "*"},
    {"list_folders", 3, K::Flag, "list subfolders", "1"},
    {"list_files", 4, K::Flag, "list files", "1"},
    {"hidden", 5, K::Flag, "include hidden entries", "0"},
    {"system", 6, K::Flag, "include system entries", "0"},
    {"add_size", 7, K::Flag, "add each entry's size", "1"},
    {"add_changed_time", 8, K::Flag, "add each entry's status-change time", "0"},
    {"add_modified_time", 9, K::Flag, "add each entry's modification time", "1"},
};
const ValueSpec kFilesListHeader[] = {
    {"folder", V::Text, "", "the folder as searched, ending with /"},
    {"count", V::Integer, "", "number of entries"},
    {"fields", V::Integer, "", "number of fields per entry"},
};
const ValueSpec kFilesListRecord[] = {
    {"name", V::Text, "", "entry name"},
    {"attributes", V::Integer, "", "attribute bits (16 folder)"},
    {"size_bytes", V::Integer, "B", "size", nullptr, "add_size"},
    {"changed_time", V::Time, "", "status-change time", nullptr, "add_changed_time"},
    {"modified_time", V::Time, "", "modification time", nullptr, "add_modified_time"},
};

// ---- Management

const ParamSpec kUpgradeParams[] = {
    {"size", 1, K::Number, "size of the executable in bytes (use qdxctl upgrade FILE)", ""},
};
const ValueSpec kStatusText[] = {
    {"status", V::Text, "", "the agent's confirmation"},
};

constexpr std::span<const ParamSpec> kNoParams;
constexpr std::span<const ValueSpec> kNoValues;

const CommandSpec kCatalog[] = {
    {"TEST-UNC", Family::Files, "free space of the file system that holds a path", kUncParams,
     kUncValues, {}, {}, "available_bytes", ReplyShape::Values, "--path /var", kUncDerived,
     DeriveFreeSpace},
    {"TEST-FolderSize", Family::Files, "size of a folder or of the files matching a pattern",
     kFolderSizeParams, kFolderSizeValues, {}, {}, "size_bytes", ReplyShape::Values,
     "--path '/var/log/*.log' --subfolders 1"},
    {"TEST-FileExists", Family::Files, "presence, size and age of a file", kFileExistsParams,
     kFileExistsValues, {}, {}, "age_minutes", ReplyShape::Values,
     "--path '/var/log/app*.log'"},
    {"TEST-FileCompare", Family::Files,
     "compare two files, or find a file's content or a text in a file", kFileCompareParams,
     kFileCompareValues, {}, {}, "match", ReplyShape::Values,
     "--mode 3 --path /var/log/syslog --path2 error --whole_word 1"},
    {"TEST-FileCRC", Family::Files, "CRC-32 checksum of a file", kFileCrcParams, kFileCrcValues,
     {}, {}, "crc", ReplyShape::Values, "--path /usr/sbin/qdx"},
    {"TEST-CountFiles", Family::Files, "number of files in a folder that meet a condition",
     kCountFilesParams, kCountValues, {}, {}, "count", ReplyShape::Values,
     "--path /var/spool/mail --mode 1 --limit 60"},
    {"GetFilesList", Family::Information, "the subfolders and files of a folder",
     kFilesListParams, kFilesListHeader, kFilesListRecord, {}, nullptr, ReplyShape::Records,
     "--path /var/log --mask '*.log'"},

    {"TEST-Process", Family::Processes, "number of processes with a name", kProcessParams,
     kProcessValues, {}, {}, "count", ReplyShape::Values, "--process sshd"},
    {"TEST-CPU", Family::Processes, "CPU usage in percent", kNoParams, kCpuValues, {}, {},
     "usage_percent", ReplyShape::Values, ""},
    {"GetProcessesList", Family::Processes, "the list of processes", kNoParams,
     kProcessListValues, {}, {}, nullptr, ReplyShape::Values, ""},
    {"TEST-ExternalPrg", Family::Processes, "exit code of a program", kExternalParams,
     kExitCodeValues, {}, {}, "exit_code", ReplyShape::Values,
     "--command 'test -d /var/log' --timeout_ms 5000", {}, nullptr, nullptr, Verdict::ExitCode},
    {"TEST-ShellScript", Family::Processes,
     "run a script sent with the request; its scriptres: line is the verdict",
     kShellScriptParams, kShellScriptValues, {}, {}, nullptr, ReplyShape::Values,
     "--script 'echo scriptres:ok' --lines 5", {}, nullptr, nullptr, Verdict::ScriptResult},
    {"TEST-Plugin", Family::Processes,
     "run a monitoring plugin the agent allows by name: its state, text and performance data",
     kPluginParams, kPluginValues, {}, {}, nullptr, ReplyShape::Values,
     "--name check_disk --args $'10%\\n5%'", {}, nullptr, nullptr, Verdict::Plugin},

    {"TEST-TextLog", Family::TextLogs, "new lines of a growing log that match a string or "
                                       "expression",
     kTextLogParams, kTextLogValues, {}, {}, "match", ReplyShape::Values,
     "--path /var/log/syslog --expression \"'error' and not 'cron'\" --is_expression 1"},
    {"TEST-TextLog2", Family::TextLogs, "the same with two filters and file-name macros",
     kTextLog2Params, kTextLog2Values, {}, {}, "match", ReplyShape::Values,
     "--path /var/log/syslog --expression error --use_filter2 1 --expression2 warning"},

    {"TEST-TCP", Family::Network, "a TCP exchange with a host: time taken and bytes received",
     kTcpParams, kExchangeValues, {}, kExchangeFailures, "elapsed_ms", ReplyShape::Values,
     "--host 192.0.2.25 --port 25 --receive_bytes 100"},
    {"TEST-UDP", Family::Network, "a UDP exchange with a host: time taken and bytes received",
     kUdpParams, kExchangeValues, {}, kExchangeFailures, "elapsed_ms", ReplyShape::Values,
     "--host 192.0.2.53 --port 7 --attempts 3 --send ping --receive_bytes 512"},

    {"ACT-ExternalCmd", Family::Actions, "run a command line", kExternalCmdParams,
     kExitCodeValues, {}, {}, nullptr, ReplyShape::Values,
     "--command '/usr/local/sbin/rotate-logs --now' --timeout_ms 60000"},
    {"ACT-Syslog", Family::Actions, "send a syslog message", kSyslogParams, kStatusText, {}, {},
     nullptr, ReplyShape::Values, "--host 192.0.2.10 --message 'backup finished'"},
    {"ACT-TCPUDPsend", Family::Actions, "send data over TCP or UDP", kSendParams, kStatusText,
     {}, {}, nullptr, ReplyShape::Values,
     "--host 192.0.2.7 --port 7000 --send 'HELLO%0D%0A' --delay_s 2 --send2 'BYE%0D%0A'"},

    {"GetInfo", Family::Information, "identity, counters, offered tests and actions", kNoParams,
     kInfoKeys, {}, {}, nullptr, ReplyShape::KeyValues, ""},

    {"GetSettings", Family::Management, "everything GetInfo says, and the settings", kNoParams,
     kSettingsKeys, {}, {}, nullptr, ReplyShape::KeyValues, ""},
    {"SetSettings", Family::Management,
     "change settings: NAME=VALUE words (qdxctl set NAME=VALUE ...)", kNoParams, kNoValues, {},
     {}, nullptr, ReplyShape::Settings, "Comment=web01 'Folder Size=0'"},
    {"ReloadCfg", Family::Management, "reload the configuration file", kNoParams, kStatusText,
     {}, {}, nullptr, ReplyShape::Values, ""},
    {"ReloadApp", Family::Management, "restart the agent", kNoParams, kStatusText, {}, {},
     nullptr, ReplyShape::Values, ""},
    {"QUIT", Family::Management, "stop the agent", kNoParams, kStatusText, {}, {}, nullptr,
     ReplyShape::Values, ""},
    {"UpgradeCode", Family::Management,
     "start a self-upgrade (use qdxctl upgrade FILE, which sends the executable)", kUpgradeParams,
     kNoValues, {}, {}, nullptr, ReplyShape::Values, nullptr},

    {"TEST-DiskSpace", Family::NotOffered, "disk space of a drive", kNoParams, kNoValues, {}, {},
     nullptr, ReplyShape::Values, nullptr, {}, nullptr, "TEST-UNC"},
    {"TEST-Service", Family::NotOffered, "state of a service", kNoParams, kNoValues, {}, {},
     nullptr, ReplyShape::Values, nullptr, {}, nullptr, "TEST-Process"},
    {"TEST-NTLog", Family::NotOffered, "event log search", kNoParams, kNoValues, {}, {}, nullptr,
     ReplyShape::Values, nullptr, {}, nullptr, "TEST-TextLog"},
    {"TEST-PerfCounter", Family::NotOffered, "performance counter", kNoParams, kNoValues, {}, {},
     nullptr, ReplyShape::Values, nullptr, {}, nullptr, "TEST-CPU"},
    {"TEST-Script", Family::NotOffered, "script test", kNoParams, kNoValues, {}, {}, nullptr,
     ReplyShape::Values, nullptr, {}, nullptr, "TEST-ShellScript"},
    {"TEST-SNMP", Family::NotOffered, "SNMP query", kNoParams, kNoValues},
    {"TEST-Ping", Family::NotOffered, "ping a host", kNoParams, kNoValues, {}, {}, nullptr,
     ReplyShape::Values, nullptr, {}, nullptr, "TEST-TCP"},
    {"GetServicesList", Family::NotOffered, "the list of services", kNoParams, kNoValues, {}, {},
     nullptr, ReplyShape::Values, nullptr, {}, nullptr, "GetProcessesList"},
    {"GetEventLogFiles", Family::NotOffered, "the event log files", kNoParams, kNoValues, {}, {},
     nullptr, ReplyShape::Values, nullptr, {}, nullptr, "GetFilesList"},
    {"GetEventLogSources", Family::NotOffered, "the event log sources", kNoParams, kNoValues},
    {"GetDriveList", Family::NotOffered, "the list of drives", kNoParams, kNoValues},
};

using R = SettingRule;
const SettingSpec kSettingNames[] = {
    {"Comment", R::Text, "comment"},
    {"Port", R::Port, "listening port (the agent moves to it)"},
    {"Timeout", R::Milliseconds, "idle time-out of a connection; 0 stands for 4000"},
    {"Password", R::Password, "password"},
    {"LogOkConn", R::Flag, "log successful connections"},
    {"LogBadConn", R::Flag, "log failed connections"},
    {"OkLogFile", R::Text, "success log"},
    {"BadLogFile", R::Text, "failure log"},
    {"Ping", R::Flag, "switch of the ping test (not reported by GetSettings)"},
    {"TCP", R::Flag, "switch of TEST-TCP"},
    {"UDP", R::Flag, "switch of TEST-UDP"},
    {"UNC", R::Flag, "switch of TEST-UNC"},
    {"Drive Space", R::Flag, "switch of the drive-space test (not reported by GetSettings)"},
    {"Folder Size", R::Flag, "switch of TEST-FolderSize"},
    {"Count Files", R::Flag, "switch of TEST-CountFiles"},
    {"File Availability", R::Flag, "switch of TEST-FileExists"},
    {"File Compare", R::Flag, "switch of TEST-FileCompare"},
    {"Text Log", R::Flag, "switch of the text-log tests"},
    {"File Integrity", R::Flag, "switch of TEST-FileCRC"},
    {"Process", R::Flag, "switch of TEST-Process and GetProcessesList"},
    {"CPU Usage", R::Flag, "switch of TEST-CPU"},
    {"Script", R::Flag, "switch of the script test (not reported by GetSettings)"},
    {"External", R::Flag, "switch of TEST-ExternalPrg"},
    {"Execute external command", R::Flag, "switch of ACT-ExternalCmd"},
    {"TCP/UDP send", R::Flag, "switch of ACT-TCPUDPsend"},
    {"Syslog", R::Flag, "switch of ACT-Syslog"},
    {"Service", R::Flag, "accepted, not used on this platform"},
    {"NT Event Log", R::Flag, "accepted, not used on this platform"},
    {"Perf Counter", R::Flag, "accepted, not used on this platform"},
    {"SNMP", R::Flag, "accepted, not used on this platform"},
    {"IPFiltering", R::Flag, "connection filter on"},
    {"IPFilterAddr", R::FilterEntries, "connection filter entries, separated by commas"},
    {"IPFilterMarks", R::FilterMarks, "which filter entries are active, one 0 or 1 each"},
    {"AllowUpdates", R::Flag, "upgrades allowed"},
    {"AllowRManage", R::Flag, "remote management allowed"},
    {"UpdateAddr", R::Addresses, "addresses with the upgrade right (a, a-b, ...)"},
    {"ManageAddr", R::Addresses, "addresses with the management right (a, a-b, ...)"},
};

}  // namespace

std::span<const CommandSpec> Catalog() {
    return kCatalog;
}

std::span<const SettingSpec> SettingNames() {
    return kSettingNames;
}

const SettingSpec* FindSetting(std::string_view name) {
    for (const SettingSpec& setting : kSettingNames)
        if (name == setting.name) return &setting;
    return nullptr;
}

const char* SettingRuleWord(SettingRule rule) {
    switch (rule) {
        case SettingRule::Flag: return "0/1";
        case SettingRule::Port: return "1-65535";
        case SettingRule::Milliseconds: return "ms";
        case SettingRule::Text: return "text";
        case SettingRule::Password: return "text";
        case SettingRule::Addresses: return "addrs";
        case SettingRule::FilterEntries: return "addrs";
        case SettingRule::FilterMarks: return "0/1...";
    }
    return "";
}
