// The dispatcher: from a decrypted request to a filled reply.
#pragma once

#include "agent/flags.h"
#include "agent/upgrade.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// Splits the request into command and parameter lines, checks the right the command needs and
// runs its handler. Returns true when the command was recognised (whatever the handler's
// outcome); false for a missing end mark, an empty and an unknown command. UpgradeCode starts
// the session's upgrade transfer in `upgrade`.
bool ProcessZPRequest(ZPRequest& request, QDXReply& reply, TQDXFlags& flags, ThreadParams peer,
                      UpgradeRec& upgrade);
