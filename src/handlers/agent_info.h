// What the agent is and what it may do: GetInfo, GetSettings and SetSettings.
#pragma once

#include <vector>

#include "foundation/string.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// "GetInfo": identity, counters, offered tests and actions, port, time-out, comment, host.
void GetAgentStatus(const ZPRequest& request, QDXReply& reply);
// "GetSettings": the GetInfo lines followed by the logging, password, filter and right settings.
void GetAgentSettings(const ZPRequest& request, QDXReply& reply);
// "SetSettings": name=value lines; changes the settings and writes the configuration file.
void SetAgentSettings(const ZPRequest& request, QDXReply& reply);

// The kind of value a SetSettings name takes.
enum class SettingKind { Flag, Number, Text, List };
struct SettingName {
    const char* name;  // as SetSettings matches it: exactly, after trimming
    SettingKind kind;
};
// Every name SetSettings accepts, in the order it checks them (for clients that check a change
// before they send it).
std::vector<SettingName> SetSettingsNames();
// The value SetSettings stores for the line `name`=`value` (both as they stand after the "="
// split, untrimmed), in the form GetSettings reports it: "0"/"1", the decimal number (a time-out
// of 0 as the default it stands for), the trimmed text, the filter list's entries separated by
// CR LF. False for a name SetSettings ignores, or a value it refuses.
bool SetSettingsStoredValue(const String& name, const String& value, String& stored);
