// The table of every command the agent answers.
#pragma once

#include <span>

#include "agent/flags.h"
#include "foundation/string.h"
#include "protocol/reply.h"
#include "protocol/request.h"

// What a peer needs, beyond passing the connection filter, to run a command.
enum class Right {
    None,     // tests, actions and information
    Manage,   // "allowmanage" and the peer in "manageaddr"
    Upgrade,  // "allowupdates" and the peer in "updateaddr"
};

struct UpgradeRec;

// What a handler may use of the session that runs it, beyond its parameter lines.
struct SessionContext {
    ThreadParams peer;
    String sessionKey;    // of the request being answered
    UpgradeRec& upgrade;  // the session's upgrade transfer, inactive until UpgradeCode
};

// A handler reads its parameter lines from `request` and fills `reply` with a result code and
// its values. It checks its own settings switch first.
using Handler = void (*)(const ZPRequest& request, QDXReply& reply);
// The same for a handler that also works with its session.
using SessionHandler = void (*)(const ZPRequest& request, QDXReply& reply, SessionContext& session);

// The handler column of the table: a function of either form.
class CommandHandler {
public:
    constexpr CommandHandler(Handler handler) : plain_(handler) {}  // NOLINT: rows name functions
    constexpr CommandHandler(SessionHandler handler) : withSession_(handler) {}  // NOLINT

    void operator()(const ZPRequest& request, QDXReply& reply, SessionContext& session) const {
        if (withSession_ != nullptr)
            withSession_(request, reply, session);
        else
            plain_(request, reply);
    }

private:
    Handler plain_ = nullptr;
    SessionHandler withSession_ = nullptr;
};

struct Command {
    const char* name;
    CommandHandler handler;
    Right right;
};

// The row for `name` (exact, case-sensitive), or null when the agent has no such command.
const Command* FindCommand(const String& name);
// Every row, in table order.
std::span<const Command> AllCommands();
