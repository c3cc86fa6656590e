// The table of every command the agent answers.
#pragma once

#include "foundation/string.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// What a peer needs, beyond passing the connection filter, to run a command.
enum class Right {
    None,     // tests, actions and information
    Manage,   // "allowmanage" and the peer in "manageaddr"
    Upgrade,  // "allowupdates" and the peer in "updateaddr"
};

// A handler reads its parameter lines from `request` and fills `reply` with a result code and
// its values. It checks its own settings switch first.
using Handler = void (*)(const ZPRequest& request, QDXReply& reply);

struct Command {
    const char* name;
    Handler handler;
    Right right;
};

// The row for `name` (exact, case-sensitive), or null when the agent has no such command.
const Command* FindCommand(const String& name);
