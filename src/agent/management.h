// Commands that act on the whole agent: they only raise a request for the accept loop (or reload
// the settings) and answer at once.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

void ProcessMgmt_ReloadCfg(const ZPRequest& request, QDXReply& reply);
void ProcessMgmt_ReloadApp(const ZPRequest& request, QDXReply& reply);
void ProcessMgmt_Quit(const ZPRequest& request, QDXReply& reply);
