#include "handlers/actions.h"

#include "handlers/network_params.h"
#include "handlers/process_tests.h"
#include "net/socket_io.h"
#include "net/sync_socket.h"
#include "net/syslog.h"
#include "net/wait_budget.h"

namespace {

const char kSyslogTag[] = "Brenn QDX";

}  // namespace

void ProcessAct_ExternalCmd(const ZPRequest& request, QDXReply& reply) {
    ExternalCmdParams params;
    if (!AdmitRequest(&TQDXSettings::executeaction, kOperationNotAllowed, ReadExternalCmdParams,
                      request, reply, params))
        return;
    AnswerProgramRun(params.commandLine, params.folder, params.timeoutMs, reply);
}

void ProcessAct_Syslog(const ZPRequest& request, QDXReply& reply) {
    SyslogParams params;
    if (!AdmitRequest(&TQDXSettings::syslogaction, kOperationNotAllowed, ReadSyslogParams, request,
                      reply, params))
        return;
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
    TcpSendParams params;
    if (!AdmitRequest(&TQDXSettings::tcpudpaction, kOperationNotAllowed, ReadTcpSendParams, request,
                      reply, params))
        return;
    NetworkWaitBudget budget;  // the connect, both sends and the pause together
    TSyncSocket socket(params.tcp ? TSyncSocket::kTcp : TSyncSocket::kUdp);
    if (socket.Connect(params.host.SetZero().Data(), params.port, 0) != 1 ||
        socket.SendString(params.first, 0) <= 0) {
        reply.SetResult("301") += socket.LastError();
        return;
    }
    if (params.second.Length() > 0) {
        PauseSeconds(params.delaySeconds);
        socket.SendString(params.second, 0);  // its outcome is not reported
    }
    reply.SetResult("200") += "Data has been sent";
}
