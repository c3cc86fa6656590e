#include "config/messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "config/log_path.h"
#include "config/settings.h"
#include "platform/local_log.h"

const in_addr LOCAL = {};

namespace {

// Held around the whole of a message, so console lines and log appends never interleave.
std::mutex showmutex;

// Messages, console lines and log lines are cut to 511 characters.
constexpr int kLineSize = 512;

// The configuration file path as a C string, also when the record's array lacks its zero.
String CfgFile(const TQDXSettings& settings) {
    String path(settings.cfgfile,
                static_cast<int>(strnlen(settings.cfgfile, sizeof settings.cfgfile)));
    return path.SetZero();
}

void AppendLog(const String& file, const String& cfgfile, const char* line) {
    if (line == nullptr || file.Length() == 0) return;
    String path = LogFilePath(file, cfgfile.Length() > 0 ? cfgfile.Data() : nullptr);
    path.SetZero();
    int fd;
    do
        fd = open(path.Data(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                  0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    size_t left = std::strlen(line);
    while (left > 0) {
        ssize_t done = write(fd, line, left);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        line += done;
        left -= static_cast<size_t>(done);
    }
    close(fd);
}

// snprintf that cuts on purpose: a long message loses its tail, never the stamp in front of it.
[[gnu::format(printf, 2, 3)]] void CutFormat(char (&out)[kLineSize], const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, kLineSize, format, args);
    va_end(args);
}

// True when some console or log takes a message of `type` under the sinks in force.
bool Wanted(MsgType type, unsigned sinks) {
    if (sinks & (kSinkConsole | kSinkVerbose)) return true;
    return (type == msgOk && (sinks & kSinkOkLog)) ||
           (type == msgFail && (sinks & (kSinkFailLog | kSinkSyslog)));
}

// Facilities of the system log, as its priority field counts them.
constexpr int kFacilityDaemon = 3;
constexpr int kFacilityAuthPriv = 10;
constexpr int kSeverityWarning = 4;

// The failure message in the local syslog layout: "<PRI>Mmm dd hh:mm:ss qdx[pid]: " and the text,
// after the peer's address when there is one. Line ends and other control bytes become blanks.
void CopyToSystemLog(int facility, const PeerAddress& peer, const char* address, const tm& local,
                     const char* message) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char datagram[kLineSize + 96];
    int n =
        std::snprintf(datagram, sizeof datagram, "<%d>%s %2d %02d:%02d:%02d qdx[%d]: %s%s",
                      facility * 8 + kSeverityWarning, kMonths[local.tm_mon % 12], local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(getpid()),
                      !peer.IsNone() ? address : "", !peer.IsNone() ? ": " : "");
    if (n < 0 || n >= static_cast<int>(sizeof datagram)) return;
    for (const char* c = message; *c != '\0' && n < static_cast<int>(sizeof datagram) - 1; c++)
        datagram[n++] = static_cast<unsigned char>(*c) < 0x20 ? ' ' : *c;
    while (n > 0 && datagram[n - 1] == ' ') n--;
    SendToLocalLog(datagram, static_cast<size_t>(n));
}

// Stamps `message` and hands it to the console and the logs the settings name. `facility` is the
// system log's for a failure message.
void Emit(const char* message, const PeerAddress& peer, MsgType type, int facility) {
    SettingsSnapshot settings = CurrentSettings();
    char address[kPeerTextSize];
    if (peer.IsNone())
        std::strcpy(address, "qdx\t");
    else
        peer.Text(address);
    String cfgfile = CfgFile(*settings);

    std::lock_guard<std::mutex> lock(showmutex);
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char date[48];
    char clock[48];
    std::snprintf(date, sizeof date, "%2.2d/%2.2d/%2.2d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900);
    std::snprintf(clock, sizeof clock, "%2.2d:%2.2d:%2.2d", local.tm_hour, local.tm_min,
                  local.tm_sec);

    if (settings->interactive) {
        char console[kLineSize];
        CutFormat(console, "[qdx][%s]\t %s\t %s", clock, address, message);
        std::fputs(console, stdout);
        std::fflush(stdout);
    }
    char line[kLineSize];
    CutFormat(line, "[%s %s]\t %s\t %s", date, clock, address, message);
    if (type == msgOk && settings->logsuccess) AppendLog(settings->oklogfile, cfgfile, line);
    if (type == msgFail && settings->logfails) AppendLog(settings->badlogfile, cfgfile, line);
    if (type == msgFail && settings->logsyslog)
        CopyToSystemLog(facility, peer, address, local, message);
    if (settings->verbose) AppendLog(settings->verboselogfile, cfgfile, line);
}

}  // namespace

void writelog(String file, const char* line) {
    if (line == nullptr || file.Length() == 0) return;
    AppendLog(file, CfgFile(*CurrentSettings()), line);
}

void showmessage(const char* text, const PeerAddress& peer, MsgType type, int formatted, ...) {
    if (type == msgDetail && !VerboseDetailOn()) return;
    if (text == nullptr || !Wanted(type, MessageSinks())) return;
    if (type == msgDetail && CurrentSettings()->verbosedetail == 0) return;

    char message[kLineSize];
    if (formatted) {
        va_list args;
        va_start(args, formatted);
        std::vsnprintf(message, sizeof message, text, args);
        va_end(args);
    } else {
        CutFormat(message, "%s", text);
    }
    Emit(message, peer, type, kFacilityDaemon);
}

void showloginfailure(const char* text, const PeerAddress& peer) {
    if (text == nullptr || !Wanted(msgFail, MessageSinks())) return;
    char message[kLineSize];
    CutFormat(message, "%s", text);
    Emit(message, peer, msgFail, kFacilityAuthPriv);
}

String LogSafe(const String& text) {
    String safe;
    for (int i = 1; i <= text.Length(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            safe += escaped;
        } else {
            safe += static_cast<char>(c);
        }
    }
    return safe;
}
