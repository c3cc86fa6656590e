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

// The accept loop acts on these flags within a second; raised before the reply has gone out,
// the process could end or be replaced while the server still waits for its "200".
void ProcessMgmt_ReloadApp(const ZPRequest&, QDXReply& reply) {
    reply.SetResult("200") += "Ok";
    reply.RunAfterSending([] { QDXFlags.restart.store(1); });
}

void ProcessMgmt_Quit(const ZPRequest&, QDXReply& reply) {
    reply.SetResult("200") += "Ok";
    reply.RunAfterSending([] { QDXFlags.terminate.store(1); });
}
