// The syslog sender: one message in the BSD syslog layout, sent as one UDP datagram with nothing
// awaited.
//
// Layout, without a line end:
//   "<" facility * 8 + severity ">"  time stamp " " local address " " tag ": " text
// where the time stamp is "Mmm dd hh:mm:ss" in local time with the day padded by a blank
// ("Mar  5 09:03:04") and the local address is the dotted address of this host's name
// (0.0.0.0 when it cannot be found).
#pragma once

#include <ctime>

#include "foundation/string.h"

enum TSyslogSeverity : int {
    kSyslogEmergency = 0,
    kSyslogAlert = 1,
    kSyslogCritical = 2,
    kSyslogError = 3,
    kSyslogWarning = 4,
    kSyslogNotice = 5,
    kSyslogInformational = 6,
    kSyslogDebug = 7,
};

// The time stamp of the current local time, or of `local`.
String CDateTime();
String CDateTime(const tm& local);

// The whole message for the given local time and local address. The facility is used as given;
// the priority is computed without overflow.
String SyslogMessage(const tm& local, const String& localAddress, int facility,
                     TSyslogSeverity severity, const char* tag, const String& text);

// Builds the message for now and sends it to host:port. Returns the number of bytes sent, or a
// negative code of net/resolve.h with error set (nothing is retried).
int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const String& text, String& error);
