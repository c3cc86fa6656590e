#include "handlers/agent_info.h"

#include <sys/utsname.h>

#include "config/settings.h"

namespace {

struct Offered {
    const char* name;
    int TQDXSettings::*enabled;
};

// Tests and actions offered, in reply order, with the switch that enables each.
const Offered kTests[] = {
    {"TCP", &TQDXSettings::tcp},
    {"UDP", &TQDXSettings::udp},
    {"UNC", &TQDXSettings::unc},
    {"Folder Size", &TQDXSettings::foldersize},
    {"Count Files", &TQDXSettings::countfiles},
    {"File Availability", &TQDXSettings::fileexists},
    {"File Integrity", &TQDXSettings::filecrc},
    {"File Compare", &TQDXSettings::comparefiles},
    {"Text Log", &TQDXSettings::textlog},
    {"Process", &TQDXSettings::process},
    {"CPU Usage", &TQDXSettings::cpuusage},
    {"External", &TQDXSettings::external},
    {"Shell Script", &TQDXSettings::shellscript},
};

const Offered kActions[] = {
    {"Execute external command", &TQDXSettings::executeaction},
    {"TCP/UDP send", &TQDXSettings::tcpudpaction},
    {"Syslog", &TQDXSettings::syslogaction},
};

const char* Flag(int value) {
    return BoolConst[value ? 1 : 0];
}

template <size_t N>
void AddOffered(QDXReply& reply, const TQDXSettings& settings, const Offered (&table)[N],
                const char* availableName, const char* enabledName) {
    String available(availableName);
    String enabled(enabledName);
    available += "=";
    enabled += "=";
    for (const Offered& entry : table) {
        available += entry.name;
        available += "\r\n";
        enabled += Flag(settings.*entry.enabled);
    }
    reply.AddStringParam(available, 1);
    reply.AddStringParam(enabled, 0);
}

void AddNamed(QDXReply& reply, const char* name, const String& value) {
    String line(name);
    line += "=";
    line += value;
    reply.AddStringParam(line, 0);
}

// The GetInfo reply, from one snapshot of the settings.
void AddStatus(QDXReply& reply, const SettingsSnapshot& settings) {
    reply.SetResult("200");
    reply.AddVarParams("%s=%s", "AgentName", AgentStatus.AgentName);
    reply.AddVarParams("%s=%s", "AgentPlatform", AgentStatus.AgentPlatform);
    reply.AddVarParams("%s=%s", "AgentVersion", AgentStatus.AgentVersion);
    reply.AddVarParams("%s=%s", "AgentDeveloper", AgentStatus.AgentDeveloper);
    reply.AddVarParams("Service=%s", Flag(AgentStatus.Service));
    reply.AddVarParams("Active=%s", Flag(AgentStatus.Active));
    reply.AddVarParams("ActiveConnections=%d", AgentStatus.ActiveConnections.load());
    reply.AddVarParams("OpenedConnections=%d", AgentStatus.OpenedConnections.load());
    reply.AddVarParams("FailedConnections=%d", AgentStatus.FailedConnections.load());
    AddOffered(reply, *settings, kTests, "Available tests", "Enabled tests");
    reply.AddVarParams("%s=%d", "Port", settings->port);
    reply.AddVarParams("%s=%d", "Timeout", settings->timeout);
    AddNamed(reply, "Comment", settings->comment);
    AddOffered(reply, *settings, kActions, "Available actions", "Enabled actions");
    utsname host{};
    if (uname(&host) == 0) {
        AddNamed(reply, "HostName", String(host.nodename));
        reply.AddVarParams("RunningOS=%s %s %s", host.sysname, host.release, host.version);
        reply.AddStringParam("OSUpdates=not implemented", 0);
    }
}

}  // namespace

void GetAgentStatus(const ZPRequest&, QDXReply& reply) {
    AddStatus(reply, CurrentSettings());
}

void GetAgentSettings(const ZPRequest&, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    AddStatus(reply, settings);
    reply.AddVarParams("LogOkConn=%s", Flag(settings->logsuccess));
    reply.AddVarParams("LogBadConn=%s", Flag(settings->logfails));
    AddNamed(reply, "OkLogFile", settings->oklogfile);
    AddNamed(reply, "BadLogFile", settings->badlogfile);
    AddNamed(reply, "Password", settings->password);
    reply.AddVarParams("IPFiltering=%s", Flag(settings->filteractive));
    reply.AddStringParam(String("IPFilterAddr=") + settings->filterlist, 1);
    AddNamed(reply, "IPFilterMarks", settings->filtermarks);
    reply.AddVarParams("AllowUpdates=%s", Flag(settings->allowupdates));
    reply.AddVarParams("AllowRManage=%s", Flag(settings->allowmanage));
    AddNamed(reply, "UpdateAddr", settings->updateaddr);
    AddNamed(reply, "ManageAddr", settings->manageaddr);
}
