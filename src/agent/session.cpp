#include "agent/session.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "agent/dispatch.h"
#include "agent/flags.h"
#include "agent/timeout_change.h"
#include "agent/upgrade.h"
#include "config/messages.h"
#include "config/settings.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

constexpr size_t kSessionStack = 256 * 1024;
constexpr int kReceiveBlock = 16 * 1024;
constexpr int kSendTimeoutSeconds = 60;

long long NowMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The longest wait while the idle rule is not due: a longer time-out is approached in steps.
constexpr int kLongestWaitMilliseconds = 60000;
// Without an announcement of time-out changes to wait on, a session waiting for its request reads
// the time-out again at least this often.
constexpr int kRecheckMilliseconds = 1000;

// How long to wait for data before looking at the idle rule again: 0 when the session has been
// idle too long, -1 for ever. The session ends once the clock second passes
// last activity + timeout / 1000; a time-out of 0 or below never ends it. `longest` caps the
// wait (-1: no cap).
int IdleWait(int timeoutMs, bool packetSeen, time_t lastActivity, int longest) {
    if (packetSeen) return -1;
    if (timeoutMs <= 0) return longest;
    long long closeAt = (static_cast<long long>(lastActivity) + timeoutMs / 1000 + 1) * 1000;
    long long left = closeAt - NowMilliseconds();
    if (left <= 0) return 0;
    if (longest < 0 || longest > kLongestWaitMilliseconds) longest = kLongestWaitMilliseconds;
    return left > longest ? longest : static_cast<int>(left);
}

// Sends all of `data`; a peer that stops reading is given up after the socket's send time-out.
void SendAll(int sock, const String& data) {
    const char* p = data.Data();
    size_t left = static_cast<size_t>(data.Length());
    while (left > 0) {
        ssize_t n = send(sock, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// A length field announcing more than we are willing to buffer.
bool Oversized(const ZPRequest& request) {
    const String& text = request.Text();
    if (text.Length() < 4) return false;
    return DecodeLength(reinterpret_cast<const unsigned char*>(text.Data()), 4) > kMaxRequestPacket;
}

void AnswerPacket(ZPRequest& request, const ThreadParams& peer, UpgradeRec& upgrade) {
    SettingsSnapshot settings = CurrentSettings();
    if (!request.ParseInitRequest(settings->password, peer.addr)) {
        showmessage("<-- Invalid ZP request received\n", peer.addr, msgInfo, 0);
        return;
    }
    showmessage("<-- Correct ZP request received\n", peer.addr, msgInfo, 0);
    QDXReply reply;
    reply.InitPacket(nullptr, request.GetSessionKey());
    bool recognised = ProcessZPRequest(request, reply, QDXFlags, peer, upgrade);
    String code = reply.Text().Length() >= 3 ? reply.Text().Copy(1, 3) : String();
    code.SetZero();
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                peer.addr, msgInfo, 1, code.Data());
    reply.FinalizePacket();
    SendAll(peer.sock, reply.Text());
    if (QDXReply::SentAction action = reply.AfterSending()) action();
}

// After its "200" an UpgradeCode session stays open for the executable; the transfer ends with a
// second reply, or with none when the server went away.
void FinishUpgrade(const ThreadParams& peer, UpgradeRec& upgrade) {
    String message;
    if (!ReceiveUpgrade(peer.sock, upgrade, message)) {
        showmessage("Upgrade transfer abandoned: %s\n", peer.addr, msgFail, 1,
                    message.SetZero().Data());
        return;
    }
    QDXReply reply;
    reply.InitPacket(nullptr, upgrade.key);
    if (message.Length() == 0) {
        reply.SetResult("200");
        showmessage("Upgrade received\n", peer.addr, msgOk, 0);
    } else {
        reply.SetResult("300") += message;
        showmessage("Upgrade failed: %s\n", peer.addr, msgFail, 1, message.SetZero().Data());
    }
    reply.FinalizePacket();
    SendAll(peer.sock, reply.Text());
}

void Serve(const ThreadParams& peer) {
    ZPRequest request;
    time_t lastActivity = time(nullptr);
    bool packetSeen = false;
    char block[kReceiveBlock];
    std::shared_ptr<const TimeoutChange> change = CurrentTimeoutChange();
    for (;;) {
        int timeoutMs = CurrentSettings()->timeout;
        int wait = IdleWait(timeoutMs, packetSeen, lastActivity,
                            change != nullptr ? -1 : kRecheckMilliseconds);
        if (wait == 0) return;
        pollfd fds[2] = {{peer.sock, POLLIN, 0},
                         {change != nullptr ? change->readFd : -1, POLLIN, 0}};
        int ready = poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) {
            change = CurrentTimeoutChange();  // the time-out changed: read it again
            continue;
        }
        if (fds[0].revents == 0) continue;  // IdleWait tells whether the idle rule is due
        ssize_t n = recv(peer.sock, block, sizeof block, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        lastActivity = time(nullptr);
        request.Append(block, static_cast<int>(n));
        if (Oversized(request)) {
            showmessage("<-- Invalid ZP request received\n", peer.addr, msgInfo, 0);
            return;
        }
        if (!request.WholePacket()) continue;
        packetSeen = true;
        UpgradeRec upgrade;
        AnswerPacket(request, peer, upgrade);
        if (upgrade.active) FinishUpgrade(peer, upgrade);
        return;  // one request per connection
    }
}

}  // namespace

void* ClientExecute(void* arg) {
    ThreadParams peer = *static_cast<ThreadParams*>(arg);
    delete static_cast<ThreadParams*>(arg);
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        AgentStatus.ActiveConnections++;
        AgentStatus.OpenedConnections++;
    }
    Serve(peer);
    showmessage("Session closed, wait for next ..\n", LOCAL, msgInfo, 0);
    shutdown(peer.sock, SHUT_RDWR);
    close(peer.sock);
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        AgentStatus.ActiveConnections--;
        if (QDXFlags.upgradescript.Length() > 0) QDXFlags.upgrade.store(1);
    }
    return nullptr;
}

void StartSession(int sock, in_addr peer) {
    timeval sendTimeout{kSendTimeoutSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    auto* params = new ThreadParams{sock, peer};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kSessionStack);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, ClientExecute, params);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete params;
        shutdown(sock, SHUT_RDWR);
        close(sock);
        showmessage("Cannot start session thread: %s\n", peer, msgFail, 1, std::strerror(rc));
    }
}
