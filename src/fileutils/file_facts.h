// Facts about one file, each from a single stat or unlink. Paths are NUL-terminated. Times are
// seconds since the epoch as a 64-bit time_t, sizes 64-bit. The stat calls are made inside a call
// of the file-system guard (fs_guard.h): on a file system that does not answer they fail at once
// (ETIMEDOUT) like a missing file.
#pragma once

#include <cstdint>
#include <ctime>

#include "foundation/string.h"

// Modification time (following symbolic links), or -1 when stat fails.
time_t FileAge(const char* path);
// Size in bytes (following symbolic links), or -1 when stat fails.
int64_t FileSize(const char* path);
// True when stat succeeds and the path is a regular file (following symbolic links).
bool FileExists(const char* path);
// True when stat succeeds and the path is a directory (following symbolic links).
bool DirectoryExists(const char* path);
// True when unlink succeeds.
bool DeleteFile(const char* path);
// Size, status-change and modification time of the entry itself (lstat: a symbolic link is the
// link, not its target). False when lstat fails.
bool GetFileInfo(const char* path, int64_t& size, time_t& changeTime, time_t& modifyTime);
// The process's working directory; empty when it cannot be read.
String GetCurrentDir();
