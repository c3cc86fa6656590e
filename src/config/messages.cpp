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
    return (type == msgOk && (sinks & kSinkOkLog)) || (type == msgFail && (sinks & kSinkFailLog));
}

}  // namespace

void writelog(String file, const char* line) {
    if (line == nullptr || file.Length() == 0) return;
    AppendLog(file, CfgFile(*CurrentSettings()), line);
}

void showmessage(const char* text, in_addr peer, MsgType type, int formatted, ...) {
    if (type == msgDetail && !VerboseDetailOn()) return;
    if (text == nullptr || !Wanted(type, MessageSinks())) return;
    SettingsSnapshot settings = CurrentSettings();
    if (type == msgDetail && settings->verbosedetail == 0) return;

    char message[kLineSize];
    if (formatted) {
        va_list args;
        va_start(args, formatted);
        std::vsnprintf(message, sizeof message, text, args);
        va_end(args);
    } else {
        CutFormat(message, "%s", text);
    }
    char address[24];
    if (peer.s_addr == 0)
        std::strcpy(address, "qdx\t");
    else if (inet_ntop(AF_INET, &peer, address, sizeof address) == nullptr)
        address[0] = '\0';
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
    if (settings->verbose) AppendLog(settings->verboselogfile, cfgfile, line);
}
