// Folder size and file count: the walks behind TEST-FolderSize and TEST-CountFiles. Both walk the
// tree without recursion (fileutils/tree_walk.h) with up to `workers` workers, never follow a
// symbolic link inside it, and keep their state in locals, so session threads may run them in
// parallel. The answers do not depend on the number of workers.
#pragma once

#include "foundation/string.h"

// The condition of TEST-CountFiles under which an entry counts.
enum TCountFilesMode {
    AllFiles = 0,     // not a directory
    OlderThan = 1,    // not a directory, modified before the minute now - value
    NewerThan = 2,    // not a directory, modified after the minute now - value
    BiggerThan = 3,   // not a directory, more than value bytes
    SmallerThan = 4,  // not a directory, fewer than value bytes
    SubFolders = 5,   // a directory other than "." and ".."
};
extern const char* const CountFilesModeName[6];

// The size in bytes of what `path` names: every entry of a folder, or the entries matching the
// wildcard pattern in the last component (a single file too) when `path` is no existing folder.
// With `subfolders`, the same pattern is applied in every folder below, at any depth. Only the
// entries' own sizes count; links are neither counted nor followed. -1 when the folder to search
// cannot be read (with the system's error number in `walkError`, when given); a subfolder that
// cannot be read is skipped.
double GetFolderSize(const String& path, bool subfolders, int workers = 1,
                     int* walkError = nullptr);

// The number of entries of `folder` whose names match `mask` and that meet `mode` with `value`
// (minutes for OlderThan and NewerThan, bytes for BiggerThan and SmallerThan); with `subfolders`
// also below, in every subfolder that is not hidden. -1 when `folder` cannot be read, with the
// system's error number in `walkError` when given.
int CountFiles(const String& folder, const String& mask, bool subfolders, TCountFilesMode mode,
               int value, int workers = 1, int* walkError = nullptr);
