#include "upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "client/upgrade_client.h"
#include "foundation/md5.h"

namespace {

constexpr int kExitNotOk = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitBadFile = 64;

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

// Sends the whole file and returns its digest in `digest`; false when the file ends early or the
// connection fails.
bool SendExecutable(int sock, int fd, long long size, unsigned char digest[16], bool bar,
                    std::string& error) {
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
        if (!QdxSend(sock, chunk.data(), static_cast<size_t>(n))) {
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

}  // namespace

int RunUpgrade(const QdxEndpoint& endpoint, const std::string& file, int waitSeconds,
               const ReplyReporter& report, const ProgressNote& note) {
    auto tell = [&](bool failure, const std::string& text) {
        if (note)
            note(text);
        else
            std::fprintf(stderr, "%s%s\n", failure ? "qdxctl: " : "", text.c_str());
    };
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        tell(true, "cannot read " + file + ": " +
                       (fd < 0 ? std::strerror(errno) : "not a regular file"));
        if (fd >= 0) close(fd);
        return kExitBadFile;
    }
    long long size = info.st_size;

    QdxReplyText before = QdxCall(endpoint, "GetInfo");
    if (before.status != CallStatus::Ok) {
        close(fd);
        return report(before);
    }
    String key;
    QdxReplyText reply;
    int sock = QdxStartUpgrade(endpoint, size, key, reply);
    if (sock < 0) {
        close(fd);
        return report(reply);
    }
    unsigned char digest[16];
    std::string error;
    if (note) note("sending " + std::to_string(size) + " bytes");
    bool sent = SendExecutable(sock, fd, size, digest, !note, error);
    close(fd);
    if (!sent) {
        close(sock);
        tell(true, "upgrade abandoned: " + error);
        return kExitNotOk;
    }
    std::this_thread::sleep_for(kTrailerPause);
    String trailer = UpgradeTrailer(digest, key);
    QdxSend(sock, trailer.Data(), static_cast<size_t>(trailer.Length()));
    reply = QdxReadReply(sock, key, endpoint.timeoutMs);
    close(sock);
    int status = report(reply);
    if (status != 0) return status;

    tell(false, "waiting up to " + std::to_string(waitSeconds) +
                    " s for the agent to start again ..");
    if (!WaitForNewAgent(endpoint, OpenedConnections(before), waitSeconds)) {
        tell(true, "the agent did not answer as a new process within " +
                       std::to_string(waitSeconds) + " s");
        return kExitNoReply;
    }
    if (note)
        note("the agent has restarted and answers");
    else
        std::printf("the agent has restarted and answers\n");
    return 0;
}
