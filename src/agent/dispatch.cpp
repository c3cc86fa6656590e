#include "agent/dispatch.h"

#include <arpa/inet.h>

#include "agent/command_table.h"
#include "config/messages.h"
#include "config/settings.h"
#include "fileutils/fs_guard.h"
#include "net/iplist.h"

namespace {

bool HasRight(Right right, in_addr peer) {
    if (right == Right::None) return true;
    SettingsSnapshot settings = CurrentSettings();
    String unused;
    if (right == Right::Manage)
        return settings->allowmanage && IPAllowed(peer.s_addr, settings->manageaddr, unused);
    return settings->allowupdates && IPAllowed(peer.s_addr, settings->updateaddr, unused);
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
        showmessage("Unknown command \"%s\"\n", peer.addr, msgFail, 1, command.Data());
        // The name is echoed up to its first NUL byte, as the log line shows it.
        String reason("Unknown command \"");
        reason += command.Data();
        reason += "\"";
        reply.SetResult("500") += reason;
        return false;
    }
    if (!HasRight(row->right, peer.addr)) {
        reply.SetResult("600") += "Operation is not allowed";
        return true;
    }
    SessionContext session{peer, request.GetSessionKey(), upgrade};
    TFsRequestScope fileSystems;  // waits on file systems count from here
    row->handler(parameters, reply, session);
    return true;
}
