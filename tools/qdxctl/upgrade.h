// Upgrade mode of qdxctl: checks a new executable, sends it to the agent, waits until the agent
// answers again, and checks that the agent's executable is now the file sent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client/client.h"
#include "options.h"

// How one upgrade ended.
enum class UpgradeEnd {
    Upgraded,     // back as a new process, its executable's CRC-32 is the file's
    NotVerified,  // back as a new process; its executable's CRC-32 could not be read
    RolledBack,   // back as a new process, running another executable than the file sent
    Refused,      // the agent refused the upgrade or the transfer failed
    NoReply,      // no reply, or the agent did not come back in time
};

// A checked upgrade file: a regular file of the size an upgrade carries, an ELF executable for
// the agent's machine unless --force.
struct UpgradeFile {
    std::string path;
    long long size = 0;
    uint32_t crc = 0;  // as TEST-FileCRC reports it: the register, not inverted
    std::string kind;  // "ELF executable for x86_64", or "not checked (--force)"
};

// Checks `path` as options.upgrade asks. False with the reason in `error`.
bool CheckUpgradeFile(const Options& options, const std::string& path, UpgradeFile& file,
                      std::string& error);

// The agent executable whose CRC-32 is compared after the restart: --qdxpath, qdxpath of -C, or
// the package's /usr/sbin/qdx.
std::string AgentExecutable(const Options& options);

// Prints an agent's reply (or why none came) and returns qdxctl's exit status for it.
using ReplyReporter = std::function<int(const QdxReplyText& reply)>;
// Receives every progress message instead of the terminal (no progress bar): "sending N bytes",
// "waiting ...", and how it ended.
using ProgressNote = std::function<void(const std::string& text)>;

// Sends `file` to the agent at `endpoint`: UpgradeCode with its size, then the bytes and the
// encrypted digest trailer, with a progress bar on a terminal. Every answer of the agent goes to
// `report`. After the final "200" it waits up to options.upgrade.waitSeconds for the agent to
// answer GetInfo as a new process, then compares TEST-FileCRC of the agent's executable with the
// file's CRC-32. With --dry-run it asks GetInfo and tells what it would do.
UpgradeEnd RunUpgrade(const Options& options, const QdxEndpoint& endpoint,
                      const UpgradeFile& file, const ReplyReporter& report,
                      const ProgressNote& note = nullptr);

// qdxctl's exit status for an ending: 0 upgraded, 1 not verified, rolled back or refused, 2 no
// reply.
int UpgradeStatus(UpgradeEnd end);

// "upgrade FILE" with --hosts: a few agents at a time, one progress line per step and host; no
// further upgrade starts once options.upgrade.maxFailures have failed (a roll-back is a
// failure). The summary names the hosts upgraded, not verified, failed and not attempted; the
// exit status is 0 only when every host was upgraded.
int UpgradeHosts(const Options& options, const UpgradeFile& file);
