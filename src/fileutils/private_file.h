// Files the agent creates for itself under fixed names in a folder that other users may share
// (the temporary folder) and later reads back or runs by path: never reached through a planted
// symbolic link, never a file that someone else made or can still change, never in a folder that
// someone else can redirect.
#pragma once

#include <sys/types.h>

#include "foundation/string.h"

// Results of the functions below besides a descriptor.
constexpr int kPrivateFileFailed = -1;  // a system call failed (no such folder, disk full, ...)
constexpr int kPrivateFileUnsafe = -2;  // refused: the folder or the name is not safe to use

// Resolves `folder` once into an absolute path without symbolic links (`resolved`), then opens it
// one folder at a time from the root, following no link, and checks every folder on the way:
// owned by root or this user, and not writable by other users unless sticky. Nobody else can then
// rename or replace anything on `resolved`, so it names the same folder at every later use.
// Returns a close-on-exec descriptor of the folder, or kPrivateFileFailed or kPrivateFileUnsafe
// with the reason (naming the folder) in `message`.
int OpenPrivateFolder(const String& folder, String& resolved, String& message);

// Creates `name` afresh in `folder`, checked as OpenPrivateFolder checks it, and opens it for
// reading and writing, close-on-exec.
//
// Whatever has the name already (a file of another user, a symbolic link, a leftover of ours) is
// removed, never opened or truncated; the new file is then created exclusively without following
// links and given `mode` (permission bits, applied whatever the umask). On success `path` holds
// the resolved folder, "/" and the name. Returns the descriptor, kPrivateFileFailed or
// kPrivateFileUnsafe, with the reason (naming the path) in `message`.
int CreatePrivateFile(const String& folder, const char* name, unsigned mode, String& path,
                      String& message);

// What tells a file from another that later takes its name, even one given the same inode
// number: device, inode and the time of the last change of its contents or attributes.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    long long changedSeconds = 0;
    long changedNanoseconds = 0;
};
// The identity of the file open as `fd`; all zero when it cannot be examined.
FileIdentity IdentityOf(int fd);

// True when `path` (a path that CreatePrivateFile gave) still names the file of `identity`,
// unchanged since (its owner and mode included): its folder passes the checks of
// OpenPrivateFolder, and the name holds that regular file. False with the reason.
bool IsPrivateFile(const String& path, const FileIdentity& identity, String& message);
