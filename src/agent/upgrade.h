// Self-upgrade: the UpgradeCode command, the transfer of the new executable that follows its
// "200" on the same connection, the check of its MD5 digest against the encrypted trailer, and the
// script that the accept loop then runs in place of the agent.
//
// On the wire, after the "200": exactly `size` bytes of the executable, unframed, then the 16-byte
// MD5 digest of the executable encrypted with EncodeData under the request's session key. What
// follows the executable's last byte in the same read is taken as the whole trailer, and so is the
// next read when the executable ended a read exactly. The agent answers "200" or "300" with the
// reason and closes.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "agent/command_table.h"
#include "foundation/md5.h"
#include "foundation/string.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// Sizes of the new executable that are accepted, in bytes.
constexpr int64_t kUpgradeMinSize = 101;
constexpr int64_t kUpgradeMaxSize = 10485759;

// Fixed names in the temporary folder ("tmpdir" of the settings).
constexpr const char* kUpgradeExecutableName = "qdx__.upd";
constexpr const char* kUpgradeScriptName = "qdxupd__.sh";

// A transfer that receives nothing for this long is given up: the reservation is released and
// the temporary executable deleted, so a vanished server cannot block every later upgrade.
constexpr int kUpgradeIdleMs = 60 * 1000;

// The upgrade state of one session; inactive until UpgradeCode reserves the upgrade.
struct UpgradeRec {
    int active = 0;        // this session is receiving an upgrade
    int64_t size = 0;      // announced size of the executable
    int64_t received = 0;  // bytes of the executable written so far
    int sizeset = 0;       // `size` has been stored
    int file = -1;         // the open temporary executable
    String filename;       // its path; empty until the transfer starts
    MD5Context md5{};      // running digest of the executable
    String key;            // session key of the UpgradeCode request

    UpgradeRec() = default;
    UpgradeRec(const UpgradeRec&) = delete;
    UpgradeRec& operator=(const UpgradeRec&) = delete;
    // A transfer still active when the session ends (cut off, idle, any early return) is
    // abandoned.
    ~UpgradeRec();
};

// Takes the one upgrade reservation of the process for this session, with the session key of the
// request. False when another transfer holds it, or a received executable waits for its script
// to run.
bool RequestUpgrade(UpgradeRec& upgrade, const String& key);

// Releases the reservation that `upgrade` holds and makes it inactive; does nothing for an
// inactive record.
void ClearanceUpgrade(UpgradeRec& upgrade);

// Takes the next `length` bytes received (none on the first call, which creates the temporary
// executable). True while more data is awaited and when the transfer has ended well: the
// executable matches its digest and the script is written, `upgrade` is inactive and the script's
// path is in QDXFlags.upgradescript. The reservation then stays taken until the script runs.
// False, with the reason in `message`, when the transfer has failed: the reservation is released
// and the temporary files are deleted. Only for an active record.
bool DoUpgrading(UpgradeRec& upgrade, const char* data, int length, String& message);

// Gives up an active transfer: closes and deletes the temporary executable and releases the
// reservation.
void AbandonUpgrade(UpgradeRec& upgrade);

// Checked right before the accept loop hands the process over to `script`: true when it is still
// the script that the last transfer wrote, unchanged in place (a regular file of the agent's user
// with the same device and inode, in a folder nobody else can redirect). False with the reason:
// the agent then goes on serving, and the hand-over is tried again after the next session.
bool UpgradeScriptReady(const String& script, String& reason);

// The reason an upgrade script left in the environment when it rolled back to this executable,
// made safe for a log line and cut to a bound; empty when there is none. Removes the variable, so
// no program the agent starts, and no later restart, sees it. Call before any thread starts.
String TakeRollBackReason();

// The process id of what waits for this process to listen after an upgrade (the interactive
// watcher, or the daemon-mode script), when this process is the new executable (0 otherwise);
// removes the variable from the environment.
pid_t TakeUpgradeWatcher();

// Once the new executable listens, what waits for it has nothing left to judge: stops and reaps the
// interactive watcher, tells the daemon-mode script to end, so that stopping the agent right after
// an upgrade does not start the previous executable again.
void StopUpgradeWatcher(pid_t watcher);

// UpgradeCode: parameter 1 is the size of the executable. Replies "302" when an upgrade is
// already in progress, "501" "Wrong file parameter(s)" for a size outside the bounds, "200" when
// the transfer may begin, "300" with the reason when the temporary executable cannot be made.
void ProcessUpgradeCode(const ZPRequest& request, QDXReply& reply, SessionContext& session);

// Receives the executable and its trailer on `sock` after the "200" to UpgradeCode, one read at a
// time into DoUpgrading. True when the transfer has ended and its reply is due: `message` is empty
// for success and holds the reason otherwise. False when the peer closed the connection or sent
// nothing for `idleMs`: the transfer is abandoned and `message` says why (for the log; no reply).
bool ReceiveUpgrade(int sock, UpgradeRec& upgrade, String& message, int idleMs = kUpgradeIdleMs,
                    TlsStream* tls = nullptr);
