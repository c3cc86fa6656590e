#include "agent/dispatch.h"

#include <arpa/inet.h>

#include "agent/command_table.h"
#include "config/messages.h"
#include "config/settings.h"
#include "fileutils/fs_guard.h"
#include "net/iplist.h"

namespace {

// Null when `peer` holds `right`; otherwise what it lacks, for the failure log.
const char* MissingRight(Right right, const PeerAddress& peer) {
    if (right == Right::None) return nullptr;
    SettingsSnapshot settings = CurrentSettings();
    String unused;
    if (right == Right::Manage) {
        if (!settings->allowmanage) return "allowmanage is off";
        return IPAllowed(peer, settings->manageaddr, unused) ? nullptr : "not in manageaddr";
    }
    if (!settings->allowupdates) return "allowupdates is off";
    return IPAllowed(peer, settings->updateaddr, unused) ? nullptr : "not in updateaddr";
}

// Every "600" goes to the failure log with the command, the peer and what was missing.
void LogRefusal(const char* command, const PeerAddress& peer, const char* why) {
    char address[kPeerTextSize];
    peer.Text(address);
    showmessage("Refused %s from %s: %s\n", peer, msgFail, 1, command, address, why);
}

// The text after the result line of a reply, up to its next line end.
String ReasonOf(const String& reply) {
    int start = reply.Pos('\n');
    if (start == 0) return String();
    String rest = reply.Copy(start + 1, reply.Length() - start);
    int end = rest.Pos('\n');
    return end > 0 ? rest.Copy(1, end - 1) : rest;
}

}  // namespace

bool ProcessZPRequest(ZPRequest& request, QDXReply& reply, TQDXFlags& flags, ThreadParams peer,
                      UpgradeRec& upgrade) {
    (void)flags;  // the management handlers raise the process-wide flags themselves
    const String& text = request.Text();
    if (text.Pos('\r') == 0) {
        showmessage("EndOfTransmission signal missed\n", peer.addr, msgFail, 0);
        reply.SetResult("502") += "EndOfTransmission signal missed";
        return false;
    }
    String command;
    ZPRequest parameters;
    int lineEnd = text.Pos('\n');
    if (lineEnd > 0) {
        command = text.Copy(1, lineEnd - 1);
        parameters = text.Copy(lineEnd + 1, text.Length() - lineEnd);
    } else {
        command = text;
    }
    command.Trim();
    if (command.Length() == 0) {
        showmessage("Void request received\n", peer.addr, msgFail, 0);
        reply.SetResult("500") += "Void request received";
        return false;
    }
    const Command* row = FindCommand(command);
    if (row == nullptr) {
        command.SetZero();
        // The log line shows what the peer sent with its control bytes escaped: no command can
        // pass for a log line of its own.
        showmessage("Unknown command \"%s\"\n", peer.addr, msgFail, 1,
                    LogSafe(String(command.Data())).SetZero().Data());
        // The name is echoed up to its first NUL byte, as the log line shows it.
        String reason("Unknown command \"");
        reason += command.Data();
        reason += "\"";
        reply.SetResult("500") += reason;
        return false;
    }
    if (const char* missing = MissingRight(row->right, peer.addr)) {
        LogRefusal(row->name, peer.addr, missing);
        reply.SetResult("600") += "Operation is not allowed";
        return true;
    }
    SessionContext session{peer, request.GetSessionKey(), upgrade};
    TFsRequestScope fileSystems;  // waits on file systems count from here
    row->handler(parameters, reply, session);
    // A handler refuses with "600" when its settings switch is off.
    if (reply.Text().Copy(1, 4) == "600\n")
        LogRefusal(row->name, peer.addr, ReasonOf(reply.Text()).SetZero().Data());
    return true;
}
