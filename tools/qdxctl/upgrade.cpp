#include "upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "client/elf_check.h"
#include "client/reply_values.h"
#include "client/upgrade_client.h"
#include "commands.h"
#include "foundation/crc32.h"
#include "foundation/md5.h"
#include "hosts.h"
#include "output.h"
#include "request_words.h"

namespace {

// The sizes UpgradeCode takes.
constexpr long long kSmallestUpgrade = 101;
constexpr long long kLargestUpgrade = 10485759;
constexpr const char* kPackagedAgent = "/usr/sbin/qdx";

constexpr size_t kChunk = 64 * 1024;
// Files at least this large get a progress bar (on a terminal).
constexpr long long kProgressFrom = 256 * 1024;
// The agent takes everything after the executable's last byte in one read as the trailer: give
// it time to read the executable first, so the trailer arrives as a read of its own.
constexpr auto kTrailerPause = std::chrono::milliseconds(200);
constexpr auto kPollPause = std::chrono::milliseconds(250);
constexpr int kPollTimeoutMs = 2000;

class Progress {
public:
    Progress(long long total, bool shown)
        : total_(total), shown_(shown && total >= kProgressFrom && isatty(STDERR_FILENO)) {}

    void Update(long long sent) {
        if (!shown_) return;
        int percent = static_cast<int>(sent * 100 / total_);
        if (percent == percent_) return;
        percent_ = percent;
        constexpr int kWidth = 40;
        int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\rsending [%.*s%*s] %3d%%  %lld/%lld bytes", filled,
                     "########################################", kWidth - filled, "", percent, sent,
                     total_);
        if (sent == total_) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    long long total_;
    bool shown_;
    int percent_ = -1;
};

// OpenedConnections of a GetInfo reply, or -1.
long long OpenedConnections(const QdxReplyText& reply) {
    const std::string name = "OpenedConnections=";
    for (const std::string& line : reply.Lines())
        if (line.compare(0, name.size(), name) == 0) return std::atoll(line.c_str() + name.size());
    return -1;
}

std::string InfoValue(const QdxReplyText& reply, const std::string& key) {
    for (const std::string& line : reply.Lines())
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    return "";
}

// Sends the whole file and returns its digest in `digest`; false when the file ends early or the
// connection fails.
bool SendExecutable(QdxConnection& agent, int fd, long long size, unsigned char digest[16],
                    bool bar, std::string& error) {
    MD5Context md5;
    MD5Open(&md5);
    Progress progress(size, bar);
    std::vector<char> chunk(kChunk);
    long long sent = 0;
    while (sent < size) {
        size_t want = static_cast<size_t>(size - sent < static_cast<long long>(kChunk) ? size - sent
                                                                                       : kChunk);
        ssize_t n = read(fd, chunk.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "the file became shorter while it was sent";
            return false;
        }
        MD5Digest(&md5, chunk.data(), static_cast<unsigned>(n));
        if (!agent.Send(chunk.data(), static_cast<size_t>(n))) {
            error = "the connection to the agent broke off";
            return false;
        }
        sent += n;
        progress.Update(sent);
    }
    MD5Close(&md5, digest);
    return true;
}

// Polls GetInfo until a process answers whose connection count shows it started after `before`.
bool WaitForNewAgent(QdxEndpoint endpoint, long long before, int waitSeconds) {
    endpoint.timeoutMs = kPollTimeoutMs;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        QdxReplyText info = QdxCall(endpoint, "GetInfo");
        // The old process has counted `before`, the upgrade connection and this poll.
        long long opened = OpenedConnections(info);
        if (info.status == CallStatus::Ok && opened >= 0 && opened <= before + 1) return true;
        std::this_thread::sleep_for(kPollPause);
    }
    return false;
}

std::string Hex(uint32_t crc) {
    char text[16];
    std::snprintf(text, sizeof text, "%08" PRIx32, crc);
    return text;
}

// Whether the agent now runs the file sent: TEST-FileCRC of its executable against the file's.
UpgradeEnd VerifyExecutable(const Options& options, const QdxEndpoint& endpoint,
                            const UpgradeFile& file, std::string& text) {
    std::string executable = AgentExecutable(options);
    Request request;
    request.command = "TEST-FileCRC";
    request.spec = FindCommandSpec(request.command);
    request.lines = {executable};
    QdxReplyText reply = QdxCall(endpoint, request.command, request.lines);
    ReplyValues values = ReadReplyValues(request.spec, request.lines, reply);
    const NamedValue* crc = values.Find("crc");
    double number = -1;
    if (reply.status != CallStatus::Ok || reply.Code() != "200" || crc == nullptr ||
        !crc->Number(number)) {
        text = "upgrade not verified: TEST-FileCRC of " + executable + " got " +
               (reply.status != CallStatus::Ok ? NoReplyMessage(endpoint, reply)
                                               : ReplyLine(request, reply)) +
               " (--qdxpath names the agent's executable)";
        return UpgradeEnd::NotVerified;
    }
    auto agent = static_cast<uint32_t>(number);
    if (agent != file.crc) {
        text = "rolled back: the agent came back, but " + executable + " has CRC-32 " +
               Hex(agent) + ", not " + Hex(file.crc) + " of " + file.path;
        return UpgradeEnd::RolledBack;
    }
    text = "the agent has restarted and runs " + file.path + " (CRC-32 " + Hex(agent) + " at " +
           executable + ")";
    return UpgradeEnd::Upgraded;
}

}  // namespace

std::string AgentExecutable(const Options& options) {
    if (!options.upgrade.qdxpath.empty()) return options.upgrade.qdxpath;
    if (!options.configQdxpath.empty()) return options.configQdxpath;
    return kPackagedAgent;
}

bool CheckUpgradeFile(const Options& options, const std::string& path, UpgradeFile& file,
                      std::string& error) {
    file.path = path;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "cannot read " + path + ": " +
                (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return false;
    }
    file.size = info.st_size;
    if (file.size < kSmallestUpgrade || file.size > kLargestUpgrade) {
        close(fd);
        error = path + " is " + std::to_string(file.size) +
                " bytes; an upgrade carries 101 to 10,485,759 bytes";
        return false;
    }
    TCRC32 crc;
    std::vector<unsigned char> block(kChunk);
    std::vector<unsigned char> head;
    for (;;) {
        ssize_t n = read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        if (head.size() < 64)
            head.insert(head.end(), block.begin(),
                        block.begin() + std::min<ssize_t>(n, 64 - static_cast<ssize_t>(head.size())));
        crc.UpdateCRC(block.data(), static_cast<int>(n));
    }
    close(fd);
    file.crc = crc.GetCRC();
    if (options.upgrade.force) {
        file.kind = "not checked (--force)";
        return true;
    }
    const ElfMachine* machine = options.upgrade.machine.empty()
                                    ? LocalElfMachine()
                                    : FindElfMachine(options.upgrade.machine);
    if (machine == nullptr) {
        error = options.upgrade.machine.empty()
                    ? "qdxctl does not know the machine it runs on; name the agent's with "
                      "--machine (" + ElfMachineNames() + ")"
                    : "--machine " + options.upgrade.machine + ": give one of " +
                          ElfMachineNames();
        return false;
    }
    std::string why;
    if (!CheckElfExecutable(head.data(), head.size(), *machine, why)) {
        bool otherMachine = why.find(" not for ") != std::string::npos;
        error = path + " is " + why +
                (otherMachine && options.upgrade.machine.empty()
                     ? " (the machine qdxctl runs on; --machine names the agent's)"
                     : "") +
                "; --force sends it anyway";
        return false;
    }
    file.kind = std::string("ELF executable for ") + machine->name;
    return true;
}

int UpgradeStatus(UpgradeEnd end) {
    switch (end) {
        case UpgradeEnd::Upgraded: return kExitOk;
        case UpgradeEnd::NoReply: return kExitNoReply;
        default: return kExitNotOk;
    }
}

UpgradeEnd RunUpgrade(const Options& options, const QdxEndpoint& endpoint,
                      const UpgradeFile& file, const ReplyReporter& report,
                      const ProgressNote& note) {
    // Progress goes to standard error, the outcome to standard output, failures to standard
    // error; with `note`, everything goes there.
    enum Kind { Step, Outcome, Failure };
    auto tell = [&](Kind kind, const std::string& text) {
        if (note)
            note(text);
        else
            std::fprintf(kind == Outcome ? stdout : stderr, "%s%s\n",
                         kind == Failure ? "qdxctl: " : "", text.c_str());
    };
    auto ended = [](int status) {
        return status == kExitNoReply ? UpgradeEnd::NoReply : UpgradeEnd::Refused;
    };
    QdxReplyText before = QdxCall(endpoint, "GetInfo");
    if (before.status != CallStatus::Ok || before.Code() != "200") return ended(report(before));
    if (options.dryRun) {
        tell(Outcome, "would send " + file.path + " (" + std::to_string(file.size) + " bytes, " +
                        file.kind + ", CRC-32 " + Hex(file.crc) + ") to " + endpoint.host + ":" +
                        std::to_string(endpoint.port) + " (" + InfoValue(before, "AgentName") +
                        " " + InfoValue(before, "AgentVersion") + " on " +
                        InfoValue(before, "HostName") + "), wait up to " +
                        std::to_string(options.upgrade.waitSeconds) +
                        " s for it to answer again and compare the CRC-32 of " +
                        AgentExecutable(options));
        return UpgradeEnd::Upgraded;
    }
    int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        tell(Failure, "cannot read " + file.path + ": " + std::strerror(errno));
        return UpgradeEnd::Refused;
    }
    String key;
    QdxReplyText reply;
    QdxConnection agent;
    if (!QdxStartUpgrade(endpoint, file.size, key, reply, agent)) {
        close(fd);
        return ended(report(reply));
    }
    unsigned char digest[16];
    std::string error;
    if (note) note("sending " + std::to_string(file.size) + " bytes");
    bool sent = SendExecutable(agent, fd, file.size, digest, !note, error);
    close(fd);
    if (!sent) {
        tell(Failure, "upgrade abandoned: " + error);
        return UpgradeEnd::Refused;
    }
    std::this_thread::sleep_for(kTrailerPause);
    String trailer = UpgradeTrailer(digest, key);
    agent.Send(trailer.Data(), static_cast<size_t>(trailer.Length()));
    reply = QdxReadReply(agent.fd(), key, endpoint.timeoutMs, agent.tls());
    agent.Close();
    int status = report(reply);
    if (status != 0) return ended(status);

    tell(Step, "waiting up to " + std::to_string(options.upgrade.waitSeconds) +
                    " s for the agent to start again ..");
    if (!WaitForNewAgent(endpoint, OpenedConnections(before), options.upgrade.waitSeconds)) {
        tell(Failure, "the agent did not answer as a new process within " +
                       std::to_string(options.upgrade.waitSeconds) + " s");
        return UpgradeEnd::NoReply;
    }
    std::string text;
    UpgradeEnd end = VerifyExecutable(options, endpoint, file, text);
    tell(end != UpgradeEnd::Upgraded ? Failure : Outcome, text);
    return end;
}

int RunUpgradeCommand(Options& options) {
    if (options.words.size() != 1) Fail("upgrade needs one FILE (qdxctl help upgrade)");
    NeedAgent(options);
    UpgradeFile file;
    std::string error;
    if (!CheckUpgradeFile(options, options.words[0], file, error)) Fail("upgrade: " + error);
    if (!options.hostsFile.empty()) return UpgradeHosts(options, file);
    Request request;
    request.command = "UpgradeCode";
    request.spec = FindCommandSpec(request.command);
    UpgradeEnd end = RunUpgrade(options, options.endpoint, file, [&](const QdxReplyText& reply) {
        return PrintReply(request, options, options.endpoint, reply);
    });
    return UpgradeStatus(end);
}
