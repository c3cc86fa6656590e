// Commands this platform does not serve: they answer "500" with a fixed reason.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

void ProcessTest_Ping(const ZPRequest& request, QDXReply& reply);
void ProcessTest_Script(const ZPRequest& request, QDXReply& reply);
void ProcessTest_SNMP(const ZPRequest& request, QDXReply& reply);
void ProcessInfo_GetDriveList(const ZPRequest& request, QDXReply& reply);
void ProcessTest_DiskSpace(const ZPRequest& request, QDXReply& reply);
void ProcessTest_Service(const ZPRequest& request, QDXReply& reply);
void ProcessTest_NTLog(const ZPRequest& request, QDXReply& reply);
void ProcessTest_Perf(const ZPRequest& request, QDXReply& reply);
void ProcessInfo_ServicesList(const ZPRequest& request, QDXReply& reply);
void ProcessInfo_EventLogFiles(const ZPRequest& request, QDXReply& reply);
void ProcessInfo_EventLogSources(const ZPRequest& request, QDXReply& reply);
