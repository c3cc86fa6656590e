#include "handlers/actions.h"

#include <chrono>
#include <thread>

#include "config/settings.h"
#include "handlers/network_params.h"
#include "net/sync_socket.h"
#include "net/syslog.h"

namespace {

const char kOperationNotAllowed[] = "operation is not allowed";
const char kSyslogTag[] = "Brenn QDX";

// False, with the "600" reply made, when the action's switch is off.
bool Allowed(int TQDXSettings::*action, QDXReply& reply) {
    if (CurrentSettings().get()->*action) return true;
    reply.SetResult("600") += kOperationNotAllowed;
    return false;
}

}  // namespace

void ProcessAct_Syslog(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::syslogaction, reply)) return;
    SyslogParams params;
    if (const char* refusal = ReadSyslogParams(request, params)) {
        reply.SetResult("501") += refusal;
        return;
    }
    String error;
    int result = SendToSysLog(params.server.SetZero().Data(), params.port, params.facility,
                              static_cast<TSyslogSeverity>(params.severity), kSyslogTag,
                              params.message, error);
    if (result <= 0) {
        reply.SetResult("301") += error;
        return;
    }
    String& text = reply.SetResult("200");
    text += "Syslog: Data to ";
    text += params.server;
    text += " has been sent";
}

void ProcessAct_TCPSend(const ZPRequest& request, QDXReply& reply) {
    if (!Allowed(&TQDXSettings::tcpudpaction, reply)) return;
    TcpSendParams params;
    if (const char* refusal = ReadTcpSendParams(request, params)) {
        reply.SetResult("501") += refusal;
        return;
    }
    TSyncSocket socket(params.tcp ? TSyncSocket::kTcp : TSyncSocket::kUdp);
    if (socket.Connect(params.host.SetZero().Data(), params.port, 0) != 1 ||
        socket.SendString(params.first, 0) <= 0) {
        reply.SetResult("301") += socket.LastError();
        return;
    }
    if (params.second.Length() > 0) {
        if (params.delaySeconds > 0)
            std::this_thread::sleep_for(std::chrono::seconds(params.delaySeconds));
        socket.SendString(params.second, 0);  // its outcome is not reported
    }
    reply.SetResult("200") += "Data has been sent";
}
