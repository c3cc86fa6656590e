// Whether a file that the settings name may be trusted by an agent that runs as root: nobody but
// root and one other user can change it, replace it, or redirect the path that names it. Guards
// the configuration file and the scripts the settings make the agent run, with their temporary
// folder.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "foundation/string.h"

enum class TrustedKind { File, Folder };

// True when `path` names a regular file (or a folder, for TrustedKind::Folder) that belongs to
// root or to `user` and that its group and others may not write (a folder may, if it is sticky),
// reached only through folders and symbolic links that belong to root or `user` and through
// folders that nobody else may write unless they are sticky (as /tmp, where others cannot rename
// or remove what is not theirs). A link is followed once it has passed that check, so nobody else
// can make the path name another file later. A relative path starts at the working folder.
//
// On success `found`, when given, receives the status of the object the path names. On refusal
// `reason` names the path at fault and what is wrong with it ("'/etc/qdx' is writable by others
// (mode 0777)"); a path that does not exist is refused with the system's reason.
bool IsTrustedPath(const String& path, TrustedKind kind, uid_t user, String& reason,
                   struct stat* found = nullptr);

// IsTrustedPath for the file open as `fd` under the name `path`, for `user`: also false when the
// path no longer names the open file.
bool IsTrustedOpenFile(int fd, const String& path, uid_t user, String& reason);

// True when the script a setting names and the temporary folder it writes into may be used by the
// effective user. An empty folder (the environment's) is not checked, and a missing one passes
// when nobody else could make it: making the output file in it fails later. On refusal `reason`
// says which path and why.
bool ScriptMayRun(const String& script, const String& tmpdir, String& reason);
