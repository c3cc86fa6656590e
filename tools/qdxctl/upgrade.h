// Upgrade mode of qdxctl: sends a new executable to the agent and waits until it answers again.
#pragma once

#include <functional>
#include <string>

#include "client/client.h"

// Prints an agent's reply (or why none came) and returns qdxctl's exit status for it.
using ReplyReporter = std::function<int(const QdxReplyText& reply)>;

// Sends `file` as the agent's new executable: UpgradeCode with its size, then the bytes and the
// encrypted digest trailer, with a progress bar on a terminal. Every answer of the agent goes to
// `report`. After the final "200" it waits up to `waitSeconds` for the agent to answer GetInfo as
// a new process. Returns 0 once it does; `report`'s status for a refusal or a failed transfer; 2
// when the agent does not come back in time; 64 when the file cannot be read.
//
// `note`, when given, receives every progress message instead of the terminal (no progress bar):
// "sending N bytes", "waiting ...", "back as a new process" and the failures.
using ProgressNote = std::function<void(const std::string& text)>;
int RunUpgrade(const QdxEndpoint& endpoint, const std::string& file, int waitSeconds,
               const ReplyReporter& report, const ProgressNote& note = nullptr);
