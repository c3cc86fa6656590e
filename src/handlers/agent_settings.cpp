// "SetSettings": remote change of the settings, written back to the configuration file.
#include <cstdio>

#include "config/options.h"
#include "config/settings.h"
#include "handlers/agent_info.h"
#include "protocol/decoders.h"

namespace {

enum class Kind { Flag, Number, Text, List };

struct Setting {
    const char* name;  // as the server sends it; compared exactly
    Kind kind;
    int TQDXSettings::*number;   // Flag and Number
    String TQDXSettings::*text;  // Text and List
};

constexpr Setting Flag(const char* name, int TQDXSettings::*field) {
    return {name, Kind::Flag, field, nullptr};
}
constexpr Setting Number(const char* name, int TQDXSettings::*field) {
    return {name, Kind::Number, field, nullptr};
}
constexpr Setting Text(const char* name, String TQDXSettings::*field) {
    return {name, Kind::Text, nullptr, field};
}

// Every name SetSettings accepts. "Shell Script" is deliberately absent: that switch can only be
// changed in the configuration file.
const Setting kSettings[] = {
    Text("Comment", &TQDXSettings::comment),
    Number("Port", &TQDXSettings::port),
    Number("Timeout", &TQDXSettings::timeout),
    Text("Password", &TQDXSettings::password),
    Flag("LogOkConn", &TQDXSettings::logsuccess),
    Flag("LogBadConn", &TQDXSettings::logfails),
    Text("OkLogFile", &TQDXSettings::oklogfile),
    Text("BadLogFile", &TQDXSettings::badlogfile),
    Flag("Ping", &TQDXSettings::ping),
    Flag("TCP", &TQDXSettings::tcp),
    Flag("UDP", &TQDXSettings::udp),
    Flag("UNC", &TQDXSettings::unc),
    Flag("Drive Space", &TQDXSettings::freespace),
    Flag("Folder Size", &TQDXSettings::foldersize),
    Flag("Count Files", &TQDXSettings::countfiles),
    Flag("File Availability", &TQDXSettings::fileexists),
    Flag("File Compare", &TQDXSettings::comparefiles),
    Flag("Text Log", &TQDXSettings::textlog),
    Flag("File Integrity", &TQDXSettings::filecrc),
    Flag("Process", &TQDXSettings::process),
    Flag("CPU Usage", &TQDXSettings::cpuusage),
    Flag("Script", &TQDXSettings::script),
    Flag("External", &TQDXSettings::external),
    Flag("Execute external command", &TQDXSettings::executeaction),
    Flag("TCP/UDP send", &TQDXSettings::tcpudpaction),
    Flag("Syslog", &TQDXSettings::syslogaction),
    Flag("Service", &TQDXSettings::service),
    Flag("NT Event Log", &TQDXSettings::nteventlog),
    Flag("Perf Counter", &TQDXSettings::perfcounter),
    Flag("SNMP", &TQDXSettings::snmp),
    Flag("IPFiltering", &TQDXSettings::filteractive),
    {"IPFilterAddr", Kind::List, nullptr, &TQDXSettings::filterlist},
    Text("IPFilterMarks", &TQDXSettings::filtermarks),
    Flag("AllowUpdates", &TQDXSettings::allowupdates),
    Flag("AllowRManage", &TQDXSettings::allowmanage),
    Text("UpdateAddr", &TQDXSettings::updateaddr),
    Text("ManageAddr", &TQDXSettings::manageaddr),
};

// The text up to its first NUL byte, as a value read into a C string would be.
String UpToNul(String text) {
    text.SetZero();
    return String(text.Data());
}

bool HoldsLineBreakOrNul(const String& text) {
    return text.Pos('\r') != 0 || text.Pos('\n') != 0 || text.Pos('\0') != 0;
}

// Stores one value. False when the configuration file could not hold it as it stands, so memory
// and file would disagree after the next load: a text with a line break or a NUL byte inside, or
// one too long for a line of the file.
bool Apply(TQDXSettings& settings, const String& name, const String& value) {
    for (const Setting& setting : kSettings) {
        if (name != setting.name) continue;
        switch (setting.kind) {
            case Kind::Flag:
                settings.*setting.number = qdxDecodeBool(value) ? 1 : 0;
                return true;
            case Kind::Number:
                settings.*setting.number = qdxDecodeInt(value);
                return true;
            case Kind::Text:
                if (HoldsLineBreakOrNul(value)) return false;
                settings.*setting.text = value;
                return ConfigFileHolds(setting.text, value);
            case Kind::List:
                // Stored in the form the file gives back: entries separated by single CR LF.
                settings.*setting.text = FilterListEntries(qdxDecodeStrings(UpToNul(value)));
                return ConfigFileHolds(setting.text, settings.*setting.text);
        }
    }
    return true;  // any other name is ignored
}

// As when the file is loaded.
void PutDefaults(TQDXSettings& settings) {
    if (settings.timeout == 0) settings.timeout = kDefaultTimeout;
}

// Values that would leave the agent unreachable or its configuration unloadable.
bool Acceptable(const TQDXSettings& settings) {
    return settings.port >= 1 && settings.port <= 65535 && settings.password.Length() > 0;
}

}  // namespace

void SetAgentSettings(const ZPRequest& request, QDXReply& reply) {
    auto lock = LockOptions();
    TQDXSettings next = *CurrentSettings();
    bool storable = true;
    int count = request.GetParamsCount();
    for (int i = 1; i <= count; i++) {
        String line = request.GetParam(i, 1);
        int equals = line.Pos('=');
        if (equals == 0) continue;
        String name = UpToNul(line.Copy(1, equals - 1).Trim());
        String value = line.Copy(equals + 1, line.Length() - equals).Trim();
        storable = Apply(next, name, value) && storable;
    }
    PutDefaults(next);
    if (!storable || !Acceptable(next)) {
        reply.SetResult("501") += "Wrong parameter";
        return;
    }
    String message;
    bool saved = SaveOptions_(next, message);
    // The new values are in force even when the file could not be written.
    PublishSettings(next);
    if (saved)
        reply.SetResult("200");
    else
        reply.SetResult("300") += message;
}

std::vector<SettingName> SetSettingsNames() {
    std::vector<SettingName> names;
    for (const Setting& setting : kSettings) {
        SettingKind kind = setting.kind == Kind::Flag     ? SettingKind::Flag
                           : setting.kind == Kind::Number ? SettingKind::Number
                           : setting.kind == Kind::Text   ? SettingKind::Text
                                                          : SettingKind::List;
        names.push_back({setting.name, kind});
    }
    return names;
}

bool SetSettingsStoredValue(const String& name, const String& value, String& stored) {
    String trimmedName = UpToNul(String(name).Trim());
    String trimmedValue = String(value).Trim();
    for (const Setting& setting : kSettings) {
        if (trimmedName != setting.name) continue;
        TQDXSettings scratch;
        if (!Apply(scratch, trimmedName, trimmedValue)) return false;
        PutDefaults(scratch);
        if (setting.number != nullptr) {
            char number[16];
            std::snprintf(number, sizeof number, "%d", scratch.*setting.number);
            stored = number;
        } else {
            stored = scratch.*setting.text;
        }
        return true;
    }
    return false;
}
