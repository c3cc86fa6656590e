// What the agent is and what it may do: GetInfo, GetSettings and SetSettings.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// "GetInfo": identity, counters, offered tests and actions, port, time-out, comment, host.
void GetAgentStatus(const ZPRequest& request, QDXReply& reply);
// "GetSettings": the GetInfo lines followed by the logging, password, filter and right settings.
void GetAgentSettings(const ZPRequest& request, QDXReply& reply);
// "SetSettings": name=value lines; changes the settings and writes the configuration file.
void SetAgentSettings(const ZPRequest& request, QDXReply& reply);
