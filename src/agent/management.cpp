#include "agent/management.h"

#include "agent/flags.h"
#include "config/options.h"

void ProcessMgmt_ReloadCfg(const ZPRequest&, QDXReply& reply) {
    String message;
    if (LoadOptions(message))
        reply.SetResult("200") += "Ok";
    else
        reply.SetResult("300") += message;
}

void ProcessMgmt_ReloadApp(const ZPRequest&, QDXReply& reply) {
    reply.SetResult("200") += "Ok";
    QDXFlags.restart.store(1);
}

void ProcessMgmt_Quit(const ZPRequest&, QDXReply& reply) {
    reply.SetResult("200") += "Ok";
    QDXFlags.terminate.store(1);
}
