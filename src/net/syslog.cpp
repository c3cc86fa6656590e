#include "net/syslog.h"

#include <cstdio>

#include "net/exchange.h"
#include "net/resolve.h"

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

tm LocalNow() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return local;
}

}  // namespace

String CDateTime(const tm& local) {
    char clock[32];
    std::snprintf(clock, sizeof clock, "%2.2d %2.2d:%2.2d:%2.2d", local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    if (clock[0] == '0') clock[0] = ' ';
    int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    String stamp(kMonths[month]);
    stamp += ' ';
    stamp += clock;
    return stamp;
}

String CDateTime() {
    return CDateTime(LocalNow());
}

String SyslogMessage(const tm& local, const String& localAddress, int facility,
                     TSyslogSeverity severity, const char* tag, const String& text) {
    char priority[32];
    std::snprintf(priority, sizeof priority, "<%lld>",
                  static_cast<long long>(facility) * 8 + static_cast<int>(severity));
    String message(priority);
    message += CDateTime(local);
    message += ' ';
    message += localAddress;
    message += ' ';
    message += tag;
    message += ": ";
    message += text;
    return message;
}

int SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity,
                 const char* tag, const String& text, String& error) {
    error = "";
    String message = SyslogMessage(LocalNow(), IP2String(GetMyIP()), facility, severity, tag, text);
    return SendReceiveUDPPacket(host, port, 0, message.Data(), nullptr, message.Length(), 0, error);
}
