// The agent's settings record and the identification record with its connection counters.
//
// Settings are shared by every session thread while a reload or a remote change replaces them, so
// they live in immutable snapshots: a reader takes CurrentSettings() once per request and keeps
// the shared_ptr while it works; a writer copies the current record, changes the copy and publishes
// it with PublishSettings(). Writers serialise on LockOptions() (loads and saves never overlap).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "config/plugin_table.h"
#include "foundation/string.h"

// Field names follow the configuration keys. Flags hold 0 or 1.
struct TQDXSettings {
    int interactive = 0;     // console output ("-i")
    int verbose = 0;         // copy every message to the verbose log ("-v", "-vd")
    int verbosedetail = 0;   // also emit packet detail messages ("-vd")
    char cfgfile[512] = {};  // configuration file path, NUL-terminated
    char runuser[256] = {};  // "-u": the user the agent runs as, NUL-terminated; empty: as started

    String tmpdir;
    String qdxpath;
    String pidfile;
    String host;
    int port = 0;
    int timeout = 0;          // session idle time-out, milliseconds
    int delayforscripts = 0;  // microseconds
    String password;
    String comment;
    String verboselogfile;
    int logsuccess = 0;
    String oklogfile;
    int filteractive = 0;
    int logfails = 0;
    String badlogfile;
    String filterlist;  // entries separated by CR LF in memory
    int allowupdates = 0;
    String updateaddr;
    String filtermarks;
    int allowmanage = 0;
    String manageaddr;
    String filteractivelist;  // derived: CR LF, then every active entry followed by CR LF

    int unc = 0, freespace = 0, foldersize = 0, countfiles = 0, fileexists = 0, filecrc = 0,
        comparefiles = 0, process = 0;
    int service = 0, nteventlog = 0;
    int cpuusage = 0;
    int perfcounter = 0, snmp = 0;
    int script = 0, external = 0, ping = 0, tcp = 0, udp = 0, textlog = 0, shellscript = 0;
    int executeaction = 0, tcpudpaction = 0, syslogaction = 0;

    String cpuusagescript;
    String proclistscript;
    String proccntscript;

    // Bounds on what peers can hold of the agent. Reset to their defaults at every load.
    int maxsessions = 0;     // sessions at once; when full, the longest-waiting one makes room
    int requesttimeout = 0;  // milliseconds a request may take to arrive, from its first byte
    int keepalive = 0;       // seconds of silence before TCP keepalive probes; 0 for none
    int walkworkers = 0;     // threads that folder walks may use at once (fileutils/tree_walk.h)

    // Copy every failure message to the system log too. Read from the file only; reset to 0 at
    // every load.
    int logsyslog = 0;
    // File systems that stop answering (fileutils/fs_guard.h). Reset to their defaults at every
    // load.
    int fsstall = 0;  // milliseconds without progress after which a call marks its file system
    int fsstuck = 0;  // calls in flight on one file system at most

    // Files and folders no check may read (fileutils/denied_paths.h), besides the agent's own
    // secrets: entries added to the defaults (CR LF separated), and whether the defaults hold.
    // Read from the file only; reset at every load. denydefaults=0 is honoured only from a file
    // that nobody but root can change.
    String denypaths;
    int denydefaults = 1;
    // The TLS listener beside the plain one (net/tls.h). Read from the file only; reset at every
    // load.
    int tlsport = 0;        // 0: no TLS listener
    String tlscertfile;     // the agent's certificate chain (PEM)
    String tlskeyfile;      // its private key (PEM); never readable by others
    String tlscafile;       // when set, clients must present a certificate it signed
    String tlspskidentity;  // a pre-shared key's identity ...
    String tlspskfile;      // ... and the file holding the key in hexadecimal, 128 bits or more
    int tlsallow12 = 0;     // TLS 1.2 (forward-secret AEAD suites only) beside TLS 1.3
    // The plain port answers loopback peers only (every remote client uses the TLS port).
    int plainlocalonly = 0;
    // Named plugins, read from the file only and reset at every load: the switch of TEST-Plugin,
    // whether requests may fill the $ARGn$ placeholders, and the "plugin.NAME=" lines.
    int plugins = 0;
    int pluginargs = 0;
    std::vector<TPluginDef> pluginlist;
};

using SettingsSnapshot = std::shared_ptr<const TQDXSettings>;

// The settings in force now; never null. Safe from any thread.
SettingsSnapshot CurrentSettings();
// Makes `next` the settings in force. Callers hold LockOptions() so that concurrent writers do
// not lose each other's changes.
void PublishSettings(const TQDXSettings& next);
// Installs what runs after every PublishSettings, on the publisher's thread, with the record just
// published (under LockOptions(): hooks never overlap). For state derived from the settings that
// must change with them, not a moment later.
void SetSettingsPublishedHook(void (*hook)(const TQDXSettings& published));
// Serialises every load, save and change of the settings.
std::unique_lock<std::mutex> LockOptions();
// verbosedetail of the settings in force, read without any lock: lets a suppressed detail message
// return before it touches a mutex.
bool VerboseDetailOn();

// Where messages go under the settings in force, as bits, read without any lock: a message that
// no console or log would receive returns before it is formatted.
enum MessageSink : unsigned {
    kSinkConsole = 1,  // interactive
    kSinkVerbose = 2,  // verbose: every message
    kSinkOkLog = 4,    // logsuccess: msgOk messages
    kSinkFailLog = 8,  // logfails: msgFail messages
    kSinkSyslog = 16,  // logsyslog: msgFail messages, to the system log
};
unsigned MessageSinks();

// Identification record reported by GetInfo, with the connection counters.
struct TAgentStatus {
    const char* signature = "BrZpQdStRec";
    int recordWord = 1;
    const char* AgentName = "Brenn Quodex";
    const char* AgentPlatform = "FreeBSD";
    const char* AgentVersion = "1.30";
    const char* AgentDeveloper = "Brennware";
    int Service = 0;
    int Active = 0;
    std::atomic<int> ActiveConnections{0};  // sessions running now
    std::atomic<int> OpenedConnections{0};  // sessions started since start-up
    std::atomic<int> FailedConnections{0};  // connections refused by the filter since start-up
};

extern TAgentStatus AgentStatus;

// "0" and "1", indexed by a flag.
extern const char* const BoolConst[2];
