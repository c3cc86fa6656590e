// The configuration reader (LoadOptions) and the normalisation step that follows every load and
// precedes every save (PutRight).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "config/config_format.h"
#include "config/file_trust.h"
#include "config/options.h"
#include "platform/privileges.h"
#include "config/tls_settings.h"

namespace {

// Every key the reader knows, in the order it tests them.
constexpr ConfigKey kReaderKeys[] = {
    TextKey("qdxpath", &TQDXSettings::qdxpath),
    TextKey("host", &TQDXSettings::host),
    PortKey("port", &TQDXSettings::port),
    NumberKey("timeout", &TQDXSettings::timeout),
    TextKey("comment", &TQDXSettings::comment),
    TextKey("password", &TQDXSettings::password),
    FlagKey("filteractive", &TQDXSettings::filteractive),
    TextKey("filtermarks", &TQDXSettings::filtermarks),
    ListKey("filterlist", &TQDXSettings::filterlist),
    FlagKey("logsuccess", &TQDXSettings::logsuccess),
    FlagKey("logfails", &TQDXSettings::logfails),
    TextKey("oklogfile", &TQDXSettings::oklogfile),
    TextKey("badlogfile", &TQDXSettings::badlogfile),
    TextKey("verboselogfile", &TQDXSettings::verboselogfile),
    FlagKey("allowupdates", &TQDXSettings::allowupdates),
    FlagKey("allowmanage", &TQDXSettings::allowmanage),
    TextKey("updateaddr", &TQDXSettings::updateaddr),
    TextKey("manageaddr", &TQDXSettings::manageaddr),
    FlagKey("unc", &TQDXSettings::unc),
    FlagKey("freespace", &TQDXSettings::freespace),
    FlagKey("foldersize", &TQDXSettings::foldersize),
    FlagKey("countfiles", &TQDXSettings::countfiles),
    FlagKey("fileexists", &TQDXSettings::fileexists),
    FlagKey("filecrc", &TQDXSettings::filecrc),
    FlagKey("comparefiles", &TQDXSettings::comparefiles),
    FlagKey("process", &TQDXSettings::process),
    FlagKey("cpuusage", &TQDXSettings::cpuusage),
    FlagKey("script", &TQDXSettings::script),
    FlagKey("external", &TQDXSettings::external),
    FlagKey("ping", &TQDXSettings::ping),
    FlagKey("tcp", &TQDXSettings::tcp),
    FlagKey("udp", &TQDXSettings::udp),
    FlagKey("textlog", &TQDXSettings::textlog),
    FlagKey("shellscript", &TQDXSettings::shellscript),
    TextKey("cpuusagescript", &TQDXSettings::cpuusagescript),
    TextKey("proclistscript", &TQDXSettings::proclistscript),
    TextKey("proccntscript", &TQDXSettings::proccntscript),
    TextKey("tmpdir", &TQDXSettings::tmpdir),
    FlagKey("executeaction", &TQDXSettings::executeaction),
    FlagKey("tcpudpaction", &TQDXSettings::tcpudpaction),
    FlagKey("syslogaction", &TQDXSettings::syslogaction),
    TextKey("pidfile", &TQDXSettings::pidfile),
    NumberKey("delayforscripts", &TQDXSettings::delayforscripts),
    NumberKey("maxsessions", &TQDXSettings::maxsessions),
    NumberKey("requesttimeout", &TQDXSettings::requesttimeout),
    NumberKey("keepalive", &TQDXSettings::keepalive),
    NumberKey("walkworkers", &TQDXSettings::walkworkers),
    FlagKey("logsyslog", &TQDXSettings::logsyslog),
    NumberKey("fsstall", &TQDXSettings::fsstall),
    NumberKey("fsstuck", &TQDXSettings::fsstuck),
    ListKey("denypaths", &TQDXSettings::denypaths),
    FlagKey("denydefaults", &TQDXSettings::denydefaults),
    NumberKey("tlsport", &TQDXSettings::tlsport),
    TextKey("tlscertfile", &TQDXSettings::tlscertfile),
    TextKey("tlskeyfile", &TQDXSettings::tlskeyfile),
    TextKey("tlscafile", &TQDXSettings::tlscafile),
    TextKey("tlspskidentity", &TQDXSettings::tlspskidentity),
    TextKey("tlspskfile", &TQDXSettings::tlspskfile),
    FlagKey("tlsallow12", &TQDXSettings::tlsallow12),
    FlagKey("plainlocalonly", &TQDXSettings::plainlocalonly),
    FlagKey("plugins", &TQDXSettings::plugins),
    FlagKey("pluginargs", &TQDXSettings::pluginargs),
};

// Host, port, timeout, verboselogfile, tmpdir and the script paths are kept: a load leaves them
// as they were when the file does not name them.
void ResetDefaults(TQDXSettings& s) {
    s.password = "";
    s.comment = "";
    s.qdxpath = "";
    s.pidfile = "";
    s.delayforscripts = 90000;
    s.logsuccess = 0;
    s.oklogfile = "log1.txt";
    s.filteractive = 0;
    s.logfails = 1;
    s.badlogfile = "log2.txt";
    s.filterlist = "127.0.0.1";
    s.allowupdates = 1;
    s.updateaddr = "127.0.0.1";
    s.filtermarks = "1";
    s.allowmanage = 1;
    s.manageaddr = "127.0.0.1";
    s.maxsessions = kDefaultMaxSessions;
    s.requesttimeout = kDefaultRequestTimeout;
    s.keepalive = kDefaultKeepalive;
    s.walkworkers = kDefaultWalkWorkers;
    s.logsyslog = 0;
    s.fsstall = kDefaultFsStallSetting;
    s.fsstuck = kDefaultFsStuckSetting;
    s.denypaths = "";
    s.denydefaults = 1;
    s.tlsport = 0;
    s.tlscertfile = "";
    s.tlskeyfile = "";
    s.tlscafile = "";
    s.tlspskidentity = "";
    s.tlspskfile = "";
    s.tlsallow12 = 0;
    s.plainlocalonly = 0;
    s.plugins = 0;
    s.pluginargs = 0;
    s.pluginlist.clear();
    for (int TQDXSettings::*test :
         {&TQDXSettings::unc, &TQDXSettings::freespace, &TQDXSettings::foldersize,
          &TQDXSettings::countfiles, &TQDXSettings::fileexists, &TQDXSettings::filecrc,
          &TQDXSettings::comparefiles, &TQDXSettings::process, &TQDXSettings::cpuusage,
          &TQDXSettings::snmp, &TQDXSettings::script, &TQDXSettings::external, &TQDXSettings::ping,
          &TQDXSettings::tcp, &TQDXSettings::udp, &TQDXSettings::textlog,
          &TQDXSettings::shellscript})
        s.*test = 1;
    for (int TQDXSettings::*off :
         {&TQDXSettings::service, &TQDXSettings::nteventlog, &TQDXSettings::perfcounter,
          &TQDXSettings::executeaction, &TQDXSettings::tcpudpaction, &TQDXSettings::syslogaction})
        s.*off = 0;
}

// atoi without its undefined behaviour: leading blanks, an optional sign, the digits that follow;
// values beyond the int range stop at its limits.
int DecimalValue(const char* text, int length) {
    int i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

void ApplyKey(TQDXSettings& s, const ConfigKey& key, const char* value, int length) {
    switch (key.kind) {
        case KeyKind::Text:
            s.*key.text = String(value, length);
            break;
        case KeyKind::List:
            // Blank-separated entries in the file, CR LF separated in memory.
            s.*key.text = FilterListEntries(qdxDecodeStrings(String(value, length)));
            break;
        case KeyKind::Number:
            s.*key.number = DecimalValue(value, length);
            break;
        case KeyKind::Port:
            // A port from the command line, or from an earlier load, stays.
            if (s.*key.number == 0) s.*key.number = DecimalValue(value, length);
            break;
        case KeyKind::Flag:
            s.*key.number = length > 0 && value[0] == '1';
            break;
    }
}

// Keeps a "plugin.NAME=command line" line, or says in `notes` why it is left out. A line that
// did not fit into one piece is never cut into a shorter command line.
void ApplyPluginLine(TQDXSettings& s, const KeyLine& line, const char* value, int length,
                     bool whole, String& notes) {
    const int prefix = static_cast<int>(std::strlen(kPluginKeyPrefix));
    String name = line.key.Copy(prefix + 1, line.key.Length() - prefix);
    TPluginDef plugin;
    String reason;
    if (!whole)
        reason = "the line is longer than a configuration line may be";
    else if (ParsePluginLine(name, String(value, length), plugin, reason)) {
        for (TPluginDef& known : s.pluginlist)
            if (known.name == plugin.name) {
                known = std::move(plugin);  // the later line wins, as for any key
                return;
            }
        s.pluginlist.push_back(std::move(plugin));
        return;
    }
    notes += String("  Plugin '") + name + "' left out: " + reason + "\n";
}

// `whole` is false for a piece that does not end its line, or that continues one.
void ApplyLine(TQDXSettings& s, const char* piece, int length, bool whole, String& notes) {
    KeyLine line;
    if (!SplitKeyLine(piece, length, line) || line.key.Length() == 0) return;
    int valueEnd = line.textEnd;
    auto trailing = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (valueEnd > line.valueStart && trailing(piece[valueEnd - 1])) valueEnd--;
    if (line.key.Pos(kPluginKeyPrefix) == 1)
        return ApplyPluginLine(s, line, piece + line.valueStart, valueEnd - line.valueStart, whole,
                               notes);
    for (const ConfigKey& key : kReaderKeys)
        if (line.key == key.name) {
            ApplyKey(s, key, piece + line.valueStart, valueEnd - line.valueStart);
            return;
        }
}

// False when the file cannot be read to its end. `notes` collects the plugin lines left out.
bool ReadKeys(int fd, TQDXSettings& s, String& notes) {
    LinePieceReader reader(fd);
    const char* piece;
    int length;
    bool lineStart = true;
    while ((length = reader.Next(piece)) > 0) {
        bool ends = piece[length - 1] == '\n' || length < kMaxLinePiece;
        ApplyLine(s, piece, length, lineStart && ends, notes);
        lineStart = ends;
    }
    return length == 0;
}

// While plugins run as root (root mode: no other user asked for), plugin lines count only from a
// file that belongs to root and that nobody else may change, whatever else the configuration may
// be trusted for. Under its own user the agent runs them as that user, who may write the file.
void KeepPluginsOnlyFromRootFile(TQDXSettings& s, bool runsAsRoot, bool rootOnly,
                                 const String& rootOnlyReason, String& notes) {
    if (!runsAsRoot || rootOnly || s.pluginlist.empty()) return;
    notes += String("  Plugin lines left out: ") + rootOnlyReason + "\n";
    s.pluginlist.clear();
}

// A zero-terminated copy for the system calls; none when the text holds a NUL byte (it could not
// name the same file).
bool CPath(const String& text, String& path) {
    if (text.Length() == 0 || text.Pos('\0') != 0) return false;
    path = text;
    path.SetZero();
    return true;
}

bool IsDirectory(const String& text) {
    String path;
    struct stat info {};
    return CPath(text, path) && stat(path.Data(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const String& text) {
    String path;
    struct stat info {};
    return CPath(text, path) && stat(path.Data(), &info) == 0 && !S_ISDIR(info.st_mode);
}

void BuildActiveFilterList(TQDXSettings& s, String& message) {
    s.filteractivelist = "\r\n";
    // Entries are taken in one pass: entry i is the i-th piece between LF bytes.
    const String& list = s.filterlist;
    int next = 0;
    for (int i = 1; i <= s.filtermarks.Length(); i++) {
        String entry;
        if (next <= list.Length()) {
            int end = next;
            while (end < list.Length() && list.Data()[end] != '\n') end++;
            entry = String(list.Data() + next, end - next);
            next = end + 1;
        }
        entry.Trim();
        if (entry.Length() == 0) {
            message = "FilterMarks has less items than FilterList";
            break;
        }
        if (s.filtermarks[i] == '1') {
            s.filteractivelist += entry;
            s.filteractivelist += "\r\n";
        }
    }
}

void PlaceScripts(TQDXSettings& s) {
    int slash = s.qdxpath.Length();
    while (slash > 0 && s.qdxpath[slash] != '/') slash--;
    if (slash == 0) return;
    String folder = s.qdxpath.Copy(1, slash) + "/";
    for (String TQDXSettings::*script :
         {&TQDXSettings::cpuusagescript, &TQDXSettings::proclistscript,
          &TQDXSettings::proccntscript})
        if ((s.*script).Pos('/') == 0) s.*script = folder + s.*script;
}

void SettleTmpdir(TQDXSettings& s) {
    if (!IsDirectory(s.tmpdir)) {
        const char* env = getenv("TMPDIR");
        if (env == nullptr) env = getenv("TMP");
        String candidate(env);
        s.tmpdir = IsDirectory(candidate) ? candidate : String(".");
    }
    // "/" keeps its slash: an empty folder would not name the root.
    if (s.tmpdir.Length() > 1 && s.tmpdir[s.tmpdir.Length()] == '/')
        s.tmpdir.SetLength(s.tmpdir.Length() - 1);
}

// The user the agent runs as: the one "-u" names, or the effective one.
uid_t AgentUser(const TQDXSettings& s) {
    TRunAs user;
    std::string ignored;
    if (s.runuser[0] != '\0' && LookUpUser(s.runuser, user, ignored)) return user.uid;
    return geteuid();
}

String CannotOpen(const String& path) {
    return String("Cannot open configuration file '") + path + "'";
}

}  // namespace

String FilterListEntries(const String& text) {
    // Escaped line breaks separate entries as blanks do, so that the list reads back the same
    // after the writer has put it on one line.
    String list(text);
    for (int i = 1; i <= list.Length(); i++)
        if (list[i] == '\r' || list[i] == '\n') list.Data()[i - 1] = ' ';
    list.Trim().RemoveRepeats(' ');
    return list.ReplaceAll(" ", "\r\n", 1);
}

const char* FirstFileDifference(const TQDXSettings& a, const TQDXSettings& b) {
    for (const ConfigKey& key : kReaderKeys) {
        bool same =
            key.text != nullptr ? a.*key.text == b.*key.text : a.*key.number == b.*key.number;
        if (!same) return key.name;
    }
    return a.filteractivelist == b.filteractivelist ? nullptr : "filteractivelist";
}

void PutRight(TQDXSettings& settings, String& message) {
    BuildActiveFilterList(settings, message);
    PlaceScripts(settings);
    SettleTmpdir(settings);
}

bool LoadOptions_(TQDXSettings& settings, String& message) {
    message = "";
    ResetDefaults(settings);
    String path = ConfigPath(settings);
    if (path.Length() == 0) {
        message = "Configuration file is not specified";
        return false;
    }
    int fd;  // without blocking: a FIFO is refused, not waited on
    do fd = open(path.Data(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    struct stat opened {};
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))) {
        close(fd);  // a folder, a FIFO, a device: not a configuration file
        fd = -1;
    }
    if (fd < 0) {
        message = CannotOpen(path);
        return false;
    }
    // Nobody but root and the agent's own user may decide what the agent, root perhaps, opens and
    // runs.
    if (String reason; !IsTrustedOpenFile(fd, path, AgentUser(settings), reason)) {
        close(fd);
        message = String("Configuration file refused: ") + reason;
        return false;
    }
    String rootOnlyReason;
    const bool rootOnly = IsTrustedOpenFile(fd, path, 0, rootOnlyReason);
    String notes;
    bool read = ReadKeys(fd, settings, notes);
    close(fd);
    if (!read) {
        // A file that cannot be read to its end is as good as absent.
        message = CannotOpen(path);
        return false;
    }
    KeepPluginsOnlyFromRootFile(settings, AgentUser(settings) == 0, rootOnly, rootOnlyReason,
                                notes);
    PutRight(settings, message);
    message += notes;
    if (settings.timeout == 0) settings.timeout = kDefaultTimeout;
    // The agent's own user may write a file it reads; a program it runs, as that user, could then
    // lift the denials and reload.
    if (settings.denydefaults == 0 && !rootOnly) {
        settings.denydefaults = 1;
        message += String("denydefaults=0 ignored, the default denied paths stay: ") +
                   rootOnlyReason + "\n";
    }

    bool ok = true;
    if (settings.port == 0) {
        message += "  TCP post is not specified!\n";
        ok = false;
    } else if (settings.port < 0 || settings.port > 65535) {
        // A number the socket layer would wrap (70000 is 4464) or not take at all.
        message += "  Invalid TCP port number (1 to 65535)!\n";
        ok = false;
    }
    if (settings.password.Length() == 0) {
        message += "  Password is not specified!\n";
        ok = false;
    }
    if (settings.qdxpath.Length() == 0 || settings.qdxpath[1] != '/') {
        message += "  Full path to the agent is not specified!\n";
        ok = false;
    } else if (!IsFile(settings.qdxpath)) {
        message += "  Invalid path to the agent!\n";
        ok = false;
    }
    // A bound of 0 would not switch the bound off but refuse every peer: say so instead.
    if (settings.maxsessions < 1) {
        message += "  Invalid session limit (maxsessions must be 1 or more)!\n";
        ok = false;
    }
    if (settings.requesttimeout < 1) {
        message += "  Invalid request time limit (requesttimeout must be 1 or more)!\n";
        ok = false;
    }
    if (settings.keepalive < 0) {
        message += "  Invalid keepalive time (0 for none, or seconds)!\n";
        ok = false;
    }
    if (settings.walkworkers < 1 || settings.walkworkers > kMaxWalkWorkers) {
        message += "  Invalid number of walk workers (walkworkers must be 1 to 64)!\n";
        ok = false;
    }
    if (settings.fsstall < 1) {
        message += "  Invalid file-system stall time (fsstall must be 1 or more)!\n";
        ok = false;
    }
    if (settings.fsstuck < 1) {
        message += "  Invalid number of stuck calls (fsstuck must be 1 or more)!\n";
        ok = false;
    }
    if (!CheckTlsSettings(settings, message)) ok = false;
    return ok;
}

bool LoadOptions(String& message) {
    auto lock = LockOptions();
    SettingsSnapshot running = CurrentSettings();
    TQDXSettings next = *running;
    if (LoadOptions_(next, message)) {
        PublishSettings(next);
        return true;
    }
    return false;
}
