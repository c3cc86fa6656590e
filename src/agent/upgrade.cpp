#include "agent/upgrade.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "agent/flags.h"
#include "agent/upgrade_script.h"
#include "net/tls.h"
#include "config/messages.h"
#include "config/settings.h"
#include "fileutils/paths.h"
#include "fileutils/private_file.h"
#include "foundation/check.h"
#include "protocol/decoders.h"
#include "protocol/packet.h"

namespace {

// The one upgrade reservation of the process (QDXFlags.upgrading).
std::mutex upgrade_mutex;

// Both files are for the agent's user alone: readable and writable while written, then
// executable.
constexpr unsigned kWritingMode = 0600;
constexpr unsigned kExecutableMode = 0700;
// The installed executable's mode when the old one cannot be examined.
constexpr unsigned kDefaultInstalledMode = 0755;

// The roll-back reason comes from the environment: a bounded part of it is logged.
constexpr int kShownReasonBytes = 200;

// Reads of the transfer. Larger than a request block, so that an executable and its trailer
// already waiting in the socket are rarely cut apart by the reader.
constexpr size_t kTransferBlock = 64 * 1024;

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

void Unlink(const String& path) {
    String name = path;
    if (name.Length() > 0) unlink(name.SetZero().Data());
}

bool HoldsNul(const String& text) {
    return text.Length() > 0 && std::memchr(text.Data(), 0, size_t(text.Length())) != nullptr;
}

void CloseExecutable(UpgradeRec& upgrade) {
    if (upgrade.file >= 0) close(upgrade.file);
    upgrade.file = -1;
}

// Ends a failed transfer: the temporary executable goes, the reservation is released.
bool Fail(UpgradeRec& upgrade, String& message, const String& reason) {
    CloseExecutable(upgrade);
    Unlink(upgrade.filename);
    ClearanceUpgrade(upgrade);
    message = reason;
    return false;
}

// The reply to a failure is its fixed text; the reason behind it goes to the failure log.
String LoggedFailure(const char* text, const String& reason) {
    String line = reason;
    showmessage("Upgrade: %s: %s\n", LOCAL, msgFail, 1, text, line.SetZero().Data());
    return text;
}

String TemporaryFolder() {
    return ExpandFileName(CurrentSettings()->tmpdir);
}

// The script written last, as created: the hand-over runs it only while it is still that file.
struct WrittenScript {
    std::mutex mutex;
    String path;
    FileIdentity identity;
};

WrittenScript& LastScript() {
    static WrittenScript* script = new WrittenScript;  // used until the process image goes
    return *script;
}

void RememberScript(const String& path, int fd) {
    WrittenScript& script = LastScript();
    std::lock_guard<std::mutex> lock(script.mutex);
    script.path = path;
    script.identity = IdentityOf(fd);
}

// Permission bits for the new executable: those of the one it replaces.
unsigned InstalledMode(const String& qdxpath) {
    String path = qdxpath;
    struct stat info {};
    if (stat(path.SetZero().Data(), &info) != 0) return kDefaultInstalledMode;
    return info.st_mode & 0777;
}

// The script stages the executable beside "qdxpath" and renames it over it: that folder must take
// new files, or the upgrade would be answered "200" and never happen.
bool CanReplace(const String& qdxpath, String& reason) {
    String folder = ExtractFilePath(qdxpath);
    if (qdxpath.Length() == 0 || HoldsNul(qdxpath) || folder.Length() == 0) {
        reason = String("'") + qdxpath + "' is not a full path";
        return false;
    }
    if (faccessat(AT_FDCWD, folder.SetZero().Data(), W_OK | X_OK, AT_EACCESS) != 0) {
        reason = String("cannot write to folder '") + folder + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// Writes the script beside the temporary executable, in the folder resolved when that was
// created. On success its path is `path`; on failure `path` is empty unless the script was created
// (and must be deleted).
bool WriteScript(const UpgradeRec& upgrade, String& path, String& failure) {
    const char* text = "Binary code transferred. Cannot create script file";
    String qdxpath = CurrentSettings()->qdxpath;
    String reason;
    if (!CanReplace(qdxpath, reason)) {
        failure = LoggedFailure(text, reason);
        return false;
    }
    int fd = CreatePrivateFile(ExtractFilePath(upgrade.filename), kUpgradeScriptName, kWritingMode,
                               path, reason);
    if (fd < 0) {
        path = "";
        failure = LoggedFailure(text, reason);
        return false;
    }
    String script = UpgradeScriptText(qdxpath, upgrade.filename, path, InstalledMode(qdxpath));
    bool written = WriteAll(fd, script.Data(), size_t(script.Length()));
    if (written && fchmod(fd, kExecutableMode) != 0) {
        failure = "Cannot set exec flag for script";
        written = false;
    }
    if (written) RememberScript(path, fd);
    if (close(fd) != 0) written = false;
    if (!written && failure.Length() == 0) failure = text;
    return written;
}

// The executable is whole and `trailer` is everything after it: check the digest, write the
// script.
bool Complete(UpgradeRec& upgrade, const String& trailer, String& message) {
    if (fchmod(upgrade.file, kExecutableMode) != 0)
        return Fail(upgrade, message, "Cannot set exec flag new module");
    int closed = close(upgrade.file);
    upgrade.file = -1;
    if (closed != 0) return Fail(upgrade, message, "Write error");

    unsigned char digest[16];
    MD5Close(&upgrade.md5, digest);
    String sent = DecodeData(trailer, upgrade.key);
    if (sent.Length() != 16 || std::memcmp(sent.Data(), digest, 16) != 0)
        return Fail(upgrade, message, "Wrong CRC");

    String script, failure;
    if (!WriteScript(upgrade, script, failure)) {
        Unlink(script);
        return Fail(upgrade, message, failure);
    }
    // The reservation stays taken: a second transfer must not rewrite the files the script is
    // about to use. It ends with the process when the accept loop runs the script.
    upgrade.active = 0;
    std::lock_guard<std::mutex> lock(thread_mutex);
    QDXFlags.upgradescript = script;
    return true;
}

}  // namespace

UpgradeRec::~UpgradeRec() {
    AbandonUpgrade(*this);
}

bool RequestUpgrade(UpgradeRec& upgrade, const String& key) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    if (QDXFlags.upgrading.load()) return false;
    QDXFlags.upgrading.store(1);
    upgrade.active = 1;
    upgrade.key = key;
    return true;
}

void ClearanceUpgrade(UpgradeRec& upgrade) {
    std::lock_guard<std::mutex> lock(upgrade_mutex);
    if (!upgrade.active) return;
    QDXFlags.upgrading.store(0);
    upgrade.active = 0;
}

void AbandonUpgrade(UpgradeRec& upgrade) {
    if (!upgrade.active) return;
    CloseExecutable(upgrade);
    Unlink(upgrade.filename);
    ClearanceUpgrade(upgrade);
}

bool DoUpgrading(UpgradeRec& upgrade, const char* data, int length, String& message) {
    QDX_CHECK(upgrade.active, "upgrade.active", "upgrade");
    message = "";
    if (upgrade.filename.Length() == 0) {
        String path, reason;
        int fd = CreatePrivateFile(TemporaryFolder(), kUpgradeExecutableName, kWritingMode, path,
                                   reason);
        if (fd < 0) return Fail(upgrade, message, LoggedFailure("Cannot create temp file", reason));
        upgrade.file = fd;
        upgrade.filename = path;
        MD5Open(&upgrade.md5);
    }
    if (data == nullptr || length <= 0) return true;

    int rest = length;
    if (upgrade.received < upgrade.size) {
        int64_t wanted = upgrade.size - upgrade.received;
        int n = wanted < length ? static_cast<int>(wanted) : length;
        if (!WriteAll(upgrade.file, data, size_t(n))) return Fail(upgrade, message, "Write error");
        MD5Digest(&upgrade.md5, data, unsigned(n));
        upgrade.received += n;
        data += n;
        rest -= n;
    }
    if (rest == 0) return true;
    return Complete(upgrade, String(data, rest), message);
}

bool UpgradeScriptReady(const String& script, String& reason) {
    WrittenScript& written = LastScript();
    std::lock_guard<std::mutex> lock(written.mutex);
    if (script.Length() == 0 || !(script == written.path)) {
        reason = String("'") + script + "' is not the script the agent wrote";
        return false;
    }
    return IsPrivateFile(script, written.identity, reason);
}

String TakeRollBackReason() {
    const char* reason = std::getenv(kRolledBackVariable);
    if (reason == nullptr) return String();
    String safe = LogSafe(String(reason).Copy(1, kShownReasonBytes));
    unsetenv(kRolledBackVariable);
    return safe.Length() > 0 ? safe : String("no reason given");
}

pid_t TakeUpgradeWatcher() {
    const char* text = std::getenv(kUpgradeWatcherVariable);
    if (text == nullptr) return 0;
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(text, &end, 10);
    bool number = errno == 0 && end != text && *end == '\0' && pid > 1 && pid <= INT32_MAX;
    unsetenv(kUpgradeWatcherVariable);
    return number ? static_cast<pid_t>(pid) : 0;
}

void StopUpgradeWatcher(pid_t watcher) {
    if (watcher <= 0 || watcher == getpid()) return;
    int status = 0;
    pid_t child = waitpid(watcher, &status, WNOHANG);
    if (child == 0) {
        // The interactive watcher, a child not reaped yet: its id cannot have been reused.
        kill(watcher, SIGKILL);
        while (waitpid(watcher, &status, 0) < 0 && errno == EINTR) {
        }
    } else if (child < 0 && errno == ECHILD) {
        // The daemon-mode script, which waits for this daemon and ends on this signal.
        kill(watcher, SIGUSR1);
    }
}

void ProcessUpgradeCode(const ZPRequest& request, QDXReply& reply, SessionContext& session) {
    UpgradeRec& upgrade = session.upgrade;
    if (!RequestUpgrade(upgrade, session.sessionKey)) {
        reply.SetResult("302");
        return;
    }
    // Also refuses what is not a number at all (NaN), whose conversion would be undefined.
    double size = std::trunc(qdxDecodeInt64(request.GetParam(1, 1)));
    upgrade.sizeset = 1;
    if (!(size >= double(kUpgradeMinSize) && size <= double(kUpgradeMaxSize))) {
        ClearanceUpgrade(upgrade);
        reply.SetResult("501") += "Wrong file parameter(s)";
        return;
    }
    upgrade.size = static_cast<int64_t>(size);
    String message;
    if (DoUpgrading(upgrade, nullptr, 0, message))
        reply.SetResult("200");
    else
        reply.SetResult("300") += message;
}

bool ReceiveUpgrade(int sock, UpgradeRec& upgrade, String& message, int idleMs, TlsStream* tls) {
    std::unique_ptr<char[]> block(new char[kTransferBlock]);
    while (upgrade.active) {
        int ready = 1;
        if (tls == nullptr || !tls->Pending()) {
            pollfd readable{sock, tls != nullptr ? tls->Wants() : short{POLLIN}, 0};
            ready = poll(&readable, 1, idleMs);
        }
        if (ready < 0 && errno == EINTR) continue;
        ssize_t n = 0;
        if (ready > 0) {
            n = tls != nullptr ? tls->Read(block.get(), kTransferBlock)
                               : recv(sock, block.get(), kTransferBlock, 0);
            if (n < 0 && (errno == EINTR || (tls != nullptr && errno == EAGAIN))) continue;
        }
        if (n <= 0) {
            char why[96];
            std::snprintf(why, sizeof why, "%s after %lld of %lld bytes",
                          ready == 0 ? "nothing received in time" : "connection closed",
                          static_cast<long long>(upgrade.received),
                          static_cast<long long>(upgrade.size));
            AbandonUpgrade(upgrade);
            message = why;
            return false;
        }
        DoUpgrading(upgrade, block.get(), static_cast<int>(n), message);
    }
    return true;
}
