// Names for temporary files, unique across the session threads of one agent, and exclusive
// creation of the files themselves. Safe to call from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "foundation/string.h"

// A new identifier on every call, unique within the process: (process ID << 16) plus a
// process-wide counter, in 32-bit arithmetic (so it may wrap and be negative).
int32_t GetUniqueThreadID();

// Writes into buf[size] a path in the temporary folder and returns 1; on failure returns 0 with
// buf empty (buf is left alone when it is null or size is below 16).
// With `name`, the path is that name in the folder; nothing is looked at on disk. Without it, the
// path is "tmp-<GetUniqueThreadID()>-<n>" in the folder, where n is a process-wide counter that
// runs 1 .. 1000000 and wraps; the first of at most 1999 candidates that is not an existing file
// is taken. Once a candidate is found taken, the following ones take their n from the system's
// random source instead, so names planted ahead of the counter cannot exhaust the candidates. A
// path that does not fit into size - 1 bytes is a failure, never cut short. The folder is `folder`
// when given; otherwise $TMPDIR, else $TMP, else "." (an empty variable counts as unset).
int gettempfilename(char* buf, int size, const char* name);
int gettempfilename(char* buf, int size, const char* name, const char* folder);

// Results of CreateTempFile besides a descriptor.
constexpr int kTempNoName = -1;        // no name could be formed (folder path too long, ...)
constexpr int kTempCannotCreate = -2;  // the folder refused the file (permissions, full, ...)

// Creates a new empty file in `folder` (null: as gettempfilename) with permission bits `mode`
// (before the umask) and returns a close-on-exec descriptor open for reading and writing, with
// the file's path in `path`. The name is a gettempfilename name: unnamed when `pattern` is null,
// otherwise `pattern` with its one "%ld" replaced by a new GetUniqueThreadID() value. The file is
// created with O_EXCL and O_NOFOLLOW, so a name that anything else already holds (a file planted
// by another user, a symbolic link, a folder) is never opened; a fresh name is tried instead, a
// bounded number of times, its numbers (identifier and counter) drawn from the random source. On
// failure returns kTempNoName or kTempCannotCreate with `path` empty.
int CreateTempFile(const char* folder, const char* pattern, mode_t mode, String& path);

// True when users other than `self` and root can add or replace files in `folder`: it belongs
// to someone else, or its group or others may write to it (a sticky bit does not keep them from
// taking names). False when it cannot be examined.
bool FolderWritableByOthers(const char* folder, uid_t self);

// Sets the counter behind unnamed names, so a test can reach its wrap.
void SetTempNameCounterForTesting(int32_t value);
