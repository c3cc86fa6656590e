// Commands that act on the whole agent: they answer at once and leave the work to the accept loop,
// whose request flag the session raises once the reply has gone out (or reload the settings).
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

void ProcessMgmt_ReloadCfg(const ZPRequest& request, QDXReply& reply);
void ProcessMgmt_ReloadApp(const ZPRequest& request, QDXReply& reply);
void ProcessMgmt_Quit(const ZPRequest& request, QDXReply& reply);
