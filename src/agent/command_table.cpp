#include "agent/command_table.h"

#include <cstring>

#include "agent/management.h"
#include "agent/upgrade.h"
#include "handlers/actions.h"
#include "handlers/agent_info.h"
#include "handlers/file_list.h"
#include "handlers/file_tests.h"
#include "handlers/network_tests.h"
#include "handlers/plugin_run.h"
#include "handlers/process_tests.h"
#include "handlers/textlog_tests.h"
#include "handlers/unsupported.h"

namespace {

// One row per command:
//   name     - the first line of the request, compared exactly and case-sensitively;
//   handler  - fills the reply; a handler whose settings switch is off answers "600" itself;
//              one that takes a SessionContext as well gets the session's key and upgrade state;
//   right    - checked by the dispatcher before the handler runs; without it the peer gets
//              "600" "Operation is not allowed".
// clang-format off
const Command kCommands[] = {
    // name                   handler                        right
    {"TEST-UNC",              ProcessTest_UNC,               Right::None},
    {"TEST-DiskSpace",        ProcessTest_DiskSpace,         Right::None},
    {"TEST-FolderSize",       ProcessTest_FolderSize,        Right::None},
    {"TEST-FileExists",       ProcessTest_FileExists,        Right::None},
    {"TEST-FileCompare",      ProcessTest_FileCompare,       Right::None},
    {"TEST-FileCRC",          ProcessTest_FileCRC,           Right::None},
    {"TEST-CountFiles",       ProcessTest_CountFiles,        Right::None},
    {"TEST-Service",          ProcessTest_Service,           Right::None},
    {"TEST-NTLog",            ProcessTest_NTLog,             Right::None},
    {"TEST-PerfCounter",      ProcessTest_Perf,              Right::None},
    {"TEST-Script",           ProcessTest_Script,            Right::None},
    {"TEST-SNMP",             ProcessTest_SNMP,              Right::None},
    {"TEST-Ping",             ProcessTest_Ping,              Right::None},
    {"TEST-Process",          ProcessTest_Process,           Right::None},
    {"TEST-CPU",              ProcessTest_CPU,               Right::None},
    {"GetProcessesList",      ProcessInfo_ProcessesList,     Right::None},
    {"TEST-ExternalPrg",      ProcessTest_External,          Right::None},
    {"TEST-ShellScript",      ProcessTest_ShellScript,       Right::None},
    {"TEST-Plugin",           ProcessTest_Plugin,            Right::None},
    {"TEST-TCP",              ProcessTest_TCP,               Right::None},
    {"TEST-UDP",              ProcessTest_UDP,               Right::None},
    {"TEST-TextLog",          ProcessTest_TextLog,           Right::None},
    {"TEST-TextLog2",         ProcessTest_TextLog2,          Right::None},
    {"ACT-ExternalCmd",       ProcessAct_ExternalCmd,        Right::None},
    {"ACT-Syslog",            ProcessAct_Syslog,             Right::None},
    {"ACT-TCPUDPsend",        ProcessAct_TCPSend,            Right::None},
    {"GetServicesList",       ProcessInfo_ServicesList,      Right::None},
    {"GetEventLogFiles",      ProcessInfo_EventLogFiles,     Right::None},
    {"GetEventLogSources",    ProcessInfo_EventLogSources,   Right::None},
    {"GetDriveList",          ProcessInfo_GetDriveList,      Right::None},
    {"GetFilesList",          ProcessInfo_GetFileList,       Right::None},
    {"GetInfo",               GetAgentStatus,                Right::None},
    {"GetSettings",           GetAgentSettings,              Right::Manage},
    {"SetSettings",           SetAgentSettings,              Right::Manage},
    {"ReloadCfg",             ProcessMgmt_ReloadCfg,         Right::Manage},
    {"ReloadApp",             ProcessMgmt_ReloadApp,         Right::Manage},
    {"QUIT",                  ProcessMgmt_Quit,              Right::Manage},
    {"UpgradeCode",           ProcessUpgradeCode,            Right::Upgrade},
};
// clang-format on

}  // namespace

const Command* FindCommand(const String& name) {
    for (const Command& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

std::span<const Command> AllCommands() {
    return kCommands;
}
