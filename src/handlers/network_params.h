// Parameter lines of the network tests and actions, read and checked without touching the
// network. Each reader returns null when the parameters are usable, otherwise the reason for a
// "501" reply.
//
// Parameter kinds: a text is the line trimmed; data is the line untrimmed with "%0D" and "%0A"
// turned back into CR and LF, except that the request's CR end mark, which trails the last line,
// is never part of it; an int is the trimmed line read by the checked qdxDecodeInt. Ports must lie
// within 0 to 65535.
#pragma once

#include "config/settings.h"
#include "foundation/string.h"
#include "protocol/reply.h"
#include "protocol/request.h"

extern const char kWrongParameter[];       // "Wrong parameter"
extern const char kNoCommandLine[];        // "Command line to execute is not specified"
extern const char kTestNotAllowed[];       // "test is not allowed"
extern const char kOperationNotAllowed[];  // "operation is not allowed"
constexpr int kReceiveLimit = 8192;        // receive buffer of the TCP and UDP tests
constexpr int kTcpDefaultTimeoutMs = 120000;

// TEST-TCP: host, port, time-out (ms, 0 means 120000), data to send, bytes to receive.
struct TcpTestParams {
    String host;
    int port = 0;
    int timeoutMs = 0;  // default applied
    String data;
    int receiveCount = 0;  // 0 to kReceiveLimit
};
const char* ReadTcpTestParams(const ZPRequest& request, TcpTestParams& params);

// TEST-UDP: host, port, time-out (ms, used in whole seconds, at least 1), attempts (1 or more),
// datagram (not empty), bytes to receive.
struct UdpTestParams {
    String host;
    int port = 0;
    int timeoutSeconds = 0;
    int attempts = 0;
    String data;
    int receiveCount = 0;  // 0 to kReceiveLimit
};
const char* ReadUdpTestParams(const ZPRequest& request, UdpTestParams& params);

// ACT-ExternalCmd: command line (not empty), working folder, an unused int, time-out for the
// program (ms; -1 start only, 0 no limit).
struct ExternalCmdParams {
    String commandLine;
    String folder;
    int timeoutMs = 0;
};
const char* ReadExternalCmdParams(const ZPRequest& request, ExternalCmdParams& params);

// ACT-Syslog: server (not empty), port, facility, severity (0 to 7), message text.
struct SyslogParams {
    String server;
    int port = 0;
    int facility = 0;
    int severity = 0;
    String message;
};
const char* ReadSyslogParams(const ZPRequest& request, SyslogParams& params);

// ACT-TCPUDPsend: host (not empty), port, protocol ("0" TCP, anything else UDP), first data (not
// empty), delay in seconds (at most kMaxNetworkWaitSeconds), second data.
struct TcpSendParams {
    String host;
    int port = 0;
    bool tcp = false;
    String first;
    int delaySeconds = 0;
    String second;
};
const char* ReadTcpSendParams(const ZPRequest& request, TcpSendParams& params);

// The common start of every network handler: false, with the reply made, when the settings
// switch `enabled` is off ("600" and notAllowed) or `read` refuses the parameters ("501" and its
// reason); true with params filled otherwise.
template <typename Params>
bool AdmitRequest(int TQDXSettings::*enabled, const char* notAllowed,
                  const char* (*read)(const ZPRequest&, Params&), const ZPRequest& request,
                  QDXReply& reply, Params& params) {
    if (!(CurrentSettings().get()->*enabled)) {
        reply.SetResult("600") += notAllowed;
        return false;
    }
    if (const char* refusal = read(request, params)) {
        reply.SetResult("501") += refusal;
        return false;
    }
    return true;
}
