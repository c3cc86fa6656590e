// The state file of a text-log check: where the last check stopped, as the agent reported it.
// A lock file beside it ("FILE.lock") serialises checks of the same state; the state itself is
// replaced atomically (written to a new file, synced, renamed over the old one).
#pragma once

#include <string>

#include "client/log_state.h"

class StateLock {
public:
    // Takes the lock of `stateFile`, waiting up to `timeoutMs`; Held() tells whether it did.
    StateLock(const std::string& stateFile, int timeoutMs, std::string& error);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Reads `path`. False with the reason in `error` when it exists but cannot be read or is not a
// state file: one that does not begin with the state file's first line, a symbolic link, a file
// that is not regular, or one of another user. `exists` tells a missing file (a first check)
// apart. Only a missing file or a state file is ever replaced.
bool ReadLogState(const std::string& path, LogState& state, bool& exists, std::string& error);
// Replaces `path` by `state` atomically.
bool WriteLogState(const std::string& path, const LogState& state, std::string& error);
