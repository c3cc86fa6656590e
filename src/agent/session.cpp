#include "agent/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <optional>

#include "agent/dispatch.h"
#include "agent/event_report.h"
#include "agent/flags.h"
#include "agent/peer_report.h"
#include "agent/session_threads.h"
#include "agent/timeout_change.h"
#include "agent/upgrade.h"
#include "config/messages.h"
#include "config/settings.h"
#include "net/tls.h"
#include "platform/socket.h"
#include "protocol/packet.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

constexpr int kReceiveBlock = 16 * 1024;
// Sessions that read the rest of their request at once (see SessionTable::TakeReadingTurn). One
// is enough: a receive copies a block at most, and a flood of partial requests then takes one
// processor at most.
constexpr int kReadingTurns = 1;
// A peer that does not take its reply within this time is given up.
constexpr long long kSendTimeoutMilliseconds = 60000;

// A request that has not come in full this long after the connection was taken keeps its session
// waiting for the peer: the thread leaves its turn to another meanwhile. A server sends its request
// right after connecting, so it rarely waits this long.
constexpr int kPromptMilliseconds = 1;

// The session waits for its peer while this lives (see SessionWaitsForPeer).
class PeerWait {
public:
    PeerWait() { SessionWaitsForPeer(); }
    ~PeerWait() { SessionGoesOn(); }
    PeerWait(const PeerWait&) = delete;
    PeerWait& operator=(const PeerWait&) = delete;
};

EventReport requestTooSlow("Request not complete within requesttimeout: connection closed");
EventReport memoryBound(
    "Partial requests above their memory bound: the oldest one's connection closed");

long long Milliseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long long NowMilliseconds() {
    return Milliseconds(CLOCK_REALTIME);
}

// For limits counted from a moment in the session: never moved by a change of the system time.
long long MonotonicMilliseconds() {
    return Milliseconds(CLOCK_MONOTONIC);
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
int IdleWait(int timeoutMs, time_t lastActivity, int longest) {
    if (timeoutMs <= 0) return longest;
    long long closeAt = (static_cast<long long>(lastActivity) + timeoutMs / 1000 + 1) * 1000;
    long long left = closeAt - NowMilliseconds();
    if (left <= 0) return 0;
    if (longest < 0 || longest > kLongestWaitMilliseconds) longest = kLongestWaitMilliseconds;
    return left > longest ? longest : static_cast<int>(left);
}

// Sends all of `data`; a peer that stops reading is given up after kSendTimeoutMilliseconds, and
// while it is waited for, the session's turn goes to another thread. A reply nearly always fits
// the socket buffer and goes out in one call. With `last`, nothing more
// follows but the end of the connection: the system may hold the bytes back until the shutdown,
// so that they leave together with it in one segment.
void SendAll(const ThreadParams& peer, const String& data, bool last) {
    const char* p = data.Data();
    size_t left = static_cast<size_t>(data.Length());
    long long giveUpAt = -1;
    while (left > 0) {
        ssize_t n = peer.tls != nullptr
                        ? peer.tls->Write(p, left)
                        : send(peer.sock, p, left,
                               MSG_NOSIGNAL | MSG_DONTWAIT | (last ? LastSendFlags() : 0));
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;
        long long now = MonotonicMilliseconds();
        if (giveUpAt < 0) giveUpAt = now + kSendTimeoutMilliseconds;
        if (now >= giveUpAt) return;
        PeerWait slowReader;
        pollfd writable{peer.sock, peer.tls != nullptr ? peer.tls->Wants() : short{POLLOUT}, 0};
        poll(&writable, 1, static_cast<int>(giveUpAt - now));
    }
}

constexpr ssize_t kClosedMeanwhile = -2;

// One receive of at most a block; `inTurn`: in a reading turn of the session table. Returns what
// recv returns, or kClosedMeanwhile when the table closed the session while it waited for a turn.
ssize_t ReceiveNow(const ThreadParams& peer, char (&block)[kReceiveBlock]) {
    if (peer.tls != nullptr) return peer.tls->Read(block, sizeof block);
    return recv(peer.sock, block, sizeof block, MSG_DONTWAIT);
}

ssize_t Receive(const ThreadParams& peer, char (&block)[kReceiveBlock], SessionEntry& entry,
                bool inTurn) {
    if (!inTurn) return ReceiveNow(peer, block);
    if (!Sessions().TakeReadingTurn(entry)) return kClosedMeanwhile;
    ssize_t n = ReceiveNow(peer, block);
    int error = errno;
    Sessions().GiveBackTurn(entry);
    errno = error;
    return n;
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
        if (request.WrongPassword()) NoteWrongPassword(peer.addr);
        showmessage("<-- Invalid ZP request received\n", peer.addr, msgInfo, 0);
        return;
    }
    showmessage("<-- Correct ZP request received\n", peer.addr, msgInfo, 0);
    QDXReply reply;
    reply.InitPacket(nullptr, request.GetSessionKey(), request.SessionCipher());
    bool recognised = ProcessZPRequest(request, reply, QDXFlags, peer, upgrade);
    String code = reply.Text().Length() >= 3 ? reply.Text().Copy(1, 3) : String();
    code.SetZero();
    reply.FinalizePacket();
    QDXReply::SentAction action = reply.AfterSending();
    // The reply may wait for the end of the connection, to leave with it in one segment, unless
    // more follows on this connection (an upgrade), the action may end the process, or session
    // messages are to be written before the connection ends.
    bool last = !upgrade.active && action == nullptr &&
                (MessageSinks() & (kSinkConsole | kSinkVerbose)) == 0;
    SendAll(peer, reply.Text(), last);
    // Logged once the reply is on its way, and before an action can end the process.
    showmessage(recognised ? "--> request processed (%s)\n"
                           : "--> request rejected or operation failed (%s)\n",
                peer.addr, msgInfo, 1, code.Data());
    if (reply.FailureNote().Length() > 0) {
        String note = reply.FailureNote();
        showmessage("%s\n", peer.addr, msgFail, 1, note.SetZero().Data());
    }
    if (action != nullptr) {
        action();
        WakeMainLoop();
    }
}

// After its "200" an UpgradeCode session stays open for the executable; the transfer ends with a
// second reply, or with none when the server went away.
void FinishUpgrade(const ThreadParams& peer, UpgradeRec& upgrade) {
    String message;
    bool received;
    {
        PeerWait transfer;
        received = ReceiveUpgrade(peer.sock, upgrade, message, kUpgradeIdleMs, peer.tls);
    }
    if (!received) {
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
    SendAll(peer, reply.Text(), true);
}

// A whole packet is in: answer it (and receive the upgrade it may start).
void Answer(ZPRequest& request, const ThreadParams& peer) {
    UpgradeRec upgrade;
    AnswerPacket(request, peer, upgrade);
    if (upgrade.active) FinishUpgrade(peer, upgrade);
}

// Reads the request and answers it. The session ends when the peer closes, when it stays silent
// past the idle time-out before its request is complete, when the request takes longer than
// "requesttimeout" from its first byte, or when the table closes it to keep the agent's bounds.
void Serve(const ThreadParams& peer, SessionEntry& entry) {
    ZPRequest request;
    time_t lastActivity = time(nullptr);
    long long completeBy = -1;  // monotonic deadline of the request, from its first byte
    char block[kReceiveBlock];
    // Fetched before the first wait, so a time-out changed after it wakes the wait.
    std::shared_ptr<const TimeoutChange> change;
    bool changeFetched = false;
    std::optional<PeerWait> waiting;  // once the request is late
    for (;;) {
        // The request is usually there already when the connection is taken: read first, wait
        // only when nothing has come yet.
        ssize_t n =
            Receive(peer, block, entry, waiting.has_value() && request.Text().Length() > 0);
        if (n == kClosedMeanwhile) return;
        if (n > 0) {
            lastActivity = time(nullptr);
            if (completeBy < 0)
                completeBy = MonotonicMilliseconds() + CurrentSettings()->requesttimeout;
            request.Append(block, static_cast<int>(n));
            if (Oversized(request)) {
                showmessage("<-- Invalid ZP request received\n", peer.addr, msgInfo, 0);
                return;
            }
            int closed = 0;
            bool kept =
                Sessions().Buffer(entry, static_cast<size_t>(request.Text().Length()), closed);
            for (int i = 0; i < closed; i++) memoryBound.Note();
            if (!kept) return;
            if (!request.WholePacket()) {
                // The rest of a large request, and of any request while connections wait to be
                // taken, is read in reading turns, the accept turn handed over.
                if (!waiting.has_value() &&
                    (request.Text().Length() >= kReceiveBlock || ConnectionsPending()))
                    waiting.emplace();
                continue;
            }
            if (!Sessions().StartWorking(entry)) return;  // closed to make room meanwhile
            waiting.reset();
            Answer(request, peer);
            return;  // one request per connection
        }
        if (n == 0) return;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return;

        if (!changeFetched) {
            change = CurrentTimeoutChange();
            changeFetched = true;
        }
        int wait = IdleWait(CurrentSettings()->timeout, lastActivity,
                            change != nullptr ? -1 : kRecheckMilliseconds);
        if (wait == 0) return;
        if (completeBy >= 0) {
            long long left = completeBy - MonotonicMilliseconds();
            if (left <= 0) {
                requestTooSlow.Note();
                return;
            }
            if (wait < 0 || wait > left) wait = static_cast<int>(left);
        }
        // With connections waiting to be taken, this thread's turn goes to another at once.
        if (!waiting.has_value() && ConnectionsPending()) waiting.emplace();
        bool prompt = !waiting.has_value() && (wait < 0 || wait > kPromptMilliseconds);
        pollfd fds[2] = {{peer.sock, peer.tls != nullptr ? peer.tls->Wants() : short{POLLIN}, 0},
                         {change != nullptr ? change->readFd : -1, POLLIN, 0}};
        int ready = poll(fds, 2, prompt ? kPromptMilliseconds : wait);
        if (ready < 0 && errno != EINTR) return;
        if (ready == 0 && prompt) waiting.emplace();
        if (ready > 0 && fds[1].revents != 0) change = CurrentTimeoutChange();  // time-out changed
    }
}

}  // namespace

SessionTable& Sessions() {
    // Never destroyed: session threads may still use it while the process exits.
    static SessionTable* table = new SessionTable(kPartialRequestMemory, kReadingTurns);
    return *table;
}

void RunSession(SessionEntry& entry, const PeerAddress& peer, TlsStream* tls) {
    ThreadParams params{entry.sock, peer, tls};
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        AgentStatus.ActiveConnections++;
        AgentStatus.OpenedConnections++;
    }
    Serve(params, entry);
    Sessions().Leave(entry);
    showmessage("Session closed, wait for next ..\n", LOCAL, msgInfo, 0);
    if (tls != nullptr) tls->Close();
    shutdown(entry.sock, SHUT_RDWR);
    close(entry.sock);
    {
        std::lock_guard<std::mutex> lock(thread_mutex);
        AgentStatus.ActiveConnections--;
        if (QDXFlags.upgradescript.Length() > 0) QDXFlags.upgrade.store(1);
    }
    if (QDXFlags.upgrade.load()) WakeMainLoop();
}
