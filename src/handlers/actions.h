// The actions: run a command line ("ACT-ExternalCmd"), send a syslog message ("ACT-Syslog") and
// send data over TCP or UDP ("ACT-TCPUDPsend"). Each answers "600" "operation is not allowed"
// while its switch is off.
#pragma once

#include "protocol/reply.h"
#include "protocol/request.h"

// "ACT-ExternalCmd", switch "executeaction": command line, working folder, an unused int, time-out
// in ms (-1 start only, 0 no limit). Runs the program without a shell, its streams on /dev/null;
// "200" and its exit code, or "301" and why it did not run or did not end normally.
void ProcessAct_ExternalCmd(const ZPRequest& request, QDXReply& reply);

// "ACT-Syslog", switch "syslogaction": server, port, facility, severity (0 to 7), text. Sends
// one datagram with the tag "Brenn QDX"; "200" "Syslog: Data to <server> has been sent", or
// "301" and the reason.
void ProcessAct_Syslog(const ZPRequest& request, QDXReply& reply);

// "ACT-TCPUDPsend", switch "tcpudpaction": host, port, protocol ("0" TCP, else UDP), first
// data, delay in seconds, second data. Connects (a TCP connect waits as long as the system
// allows), sends the first data, waits the delay and sends the second data when there is any;
// "200" "Data has been sent", or "301" and the reason when the connect or the first send fails.
// All of it waits kMaxNetworkWaitSeconds at most (net/wait_budget.h): a pause cut short by that
// bound is followed by the second data all the same.
void ProcessAct_TCPSend(const ZPRequest& request, QDXReply& reply);
