// Files the agent creates for itself under fixed names in a folder that other users may share
// (the temporary folder) and later reads back or runs: never reached through a planted symbolic
// link, never a file that someone else made or can still change.
#pragma once

#include "foundation/string.h"

// Results of CreatePrivateFile besides a descriptor.
constexpr int kPrivateFileFailed = -1;  // a system call failed (no such folder, disk full, ...)
constexpr int kPrivateFileUnsafe = -2;  // refused: the folder or the name is not safe to use

// Creates `name` afresh in `folder` and opens it for reading and writing, close-on-exec.
//
// The folder must belong to this user or to root and, when others may write to it, carry the
// sticky bit: otherwise someone else could swap the file after it is written. Whatever has the
// name already (a file of another user, a symbolic link, a leftover of ours) is removed, never
// opened or truncated; the new file is then created exclusively without following links and given
// `mode` (permission bits, applied whatever the umask). On success `path` holds the folder, "/"
// and the name. Returns the descriptor, kPrivateFileFailed or kPrivateFileUnsafe, with the reason
// (naming the path) in `message`.
int CreatePrivateFile(const String& folder, const char* name, unsigned mode, String& path,
                      String& message);
